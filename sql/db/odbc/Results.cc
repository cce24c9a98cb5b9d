// Fetching a result whole (see Results.h).
#include "sql/db/odbc/Results.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/Codepage.h"
#include "sql/db/odbc/Errors.h"
#include "sql/db/sqlite/Values.h"

namespace kestal::db::odbc {
namespace {

// Reads column (1-based) of the current row as text into cell; values
// longer than the buffer come in pieces.
void ReadCell(SQLHSTMT statement, SQLUSMALLINT column, Cell* cell, const TextCodec& codec) {
  char buffer[512];
  SQLLEN indicator = 0;
  cell->text.clear();
  while (true) {
    const SQLRETURN rc =
        SQLGetData(statement, column, SQL_C_CHAR, buffer, sizeof buffer, &indicator);
    if (rc == SQL_NO_DATA) break;
    if (!SQL_SUCCEEDED(rc)) Raise(SQL_HANDLE_STMT, statement, "SQLGetData", codec.encoding);
    if (indicator == SQL_NULL_DATA) {
      cell->null = true;
      return;
    }
    // A piece that did not fit fills the buffer but its terminator.
    const size_t piece =
        indicator == SQL_NO_TOTAL || indicator >= static_cast<SQLLEN>(sizeof buffer)
            ? sizeof buffer - 1
            : static_cast<size_t>(indicator);
    cell->text.append(buffer, piece);
    if (rc == SQL_SUCCESS) break;
  }
  cell->null = false;
  if (!codec.utf8() && !IsAscii(cell->text)) cell->text = codec.Decode(cell->text);
}

// True when no byte of data is outside ASCII.
bool AllAscii(const char* data, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    if (static_cast<unsigned char>(data[i]) >= 0x80) return false;
  }
  return true;
}

// Appends text (UTF-8) as the next value of table's current row,
// blank-padded to width when that is a fixed width.
void StoreText(const char* data, size_t size, const sqlite::FixedWidth& width, ResultTable* table) {
  if (width.length == 0) {
    table->AddText(data, size);
    return;
  }
  std::string text(data, size);
  sqlite::PadToWidth(width, &text);
  table->AddText(text);
}

// Appends cell as the next value of table's current row.
void Store(const Cell& cell, const sqlite::FixedWidth& width, ResultTable* table) {
  if (cell.null) {
    table->AddNull();
  } else {
    StoreText(cell.text.data(), cell.text.size(), width, table);
  }
}

// Rows per block, and the bounds of one bound value's buffer.
constexpr SQLULEN kBlockRows = 256;
constexpr size_t kMinWidth = 64;
constexpr size_t kMaxWidth = 2048;
// A column's block buffer larger than this is not kept between fetches.
constexpr size_t kKeptBytes = 64 * 1024;

// Resets what a block fetch set on the statement (never throws).
struct BlockReset {
  SQLHSTMT statement;
  ~BlockReset() {
    SQLFreeStmt(statement, SQL_UNBIND);
    SQLSetStmtAttr(statement, SQL_ATTR_ROW_ARRAY_SIZE, reinterpret_cast<SQLPOINTER>(1), 0);
    SQLSetStmtAttr(statement, SQL_ATTR_ROWS_FETCHED_PTR, nullptr, 0);
  }
};

// Fills table->rows by block fetches (see FetchAll).
void FetchBlocks(SQLHSTMT statement, const std::vector<size_t>& widths,
                 const std::vector<sqlite::FixedWidth>& fixed, size_t cap, const TextCodec& codec,
                 ResultTable* table) {
  const size_t columns = widths.size();
  // The bound buffers outlive the fetch: a window follow fetches thousands
  // of small results, and fresh buffers for each cost an allocation, its
  // clearing and page faults every time. Bindings are reset before return
  // (BlockReset, destroyed before Trim), so no driver keeps a pointer into
  // them; one set per thread, a buffer of a wide column let go after use.
  thread_local std::vector<std::vector<char>> buffers;
  thread_local std::vector<std::vector<SQLLEN>> indicators;
  if (buffers.size() < columns) buffers.resize(columns);
  if (indicators.size() < columns) indicators.resize(columns);
  struct Trim {
    ~Trim() {
      for (std::vector<char>& b : buffers) {
        if (b.size() > kKeptBytes) std::vector<char>().swap(b);
      }
    }
  } trim;
  BlockReset reset{statement};
  SQLULEN fetched = 0;
  SQLSetStmtAttr(statement, SQL_ATTR_ROW_BIND_TYPE,
                 reinterpret_cast<SQLPOINTER>(SQL_BIND_BY_COLUMN), 0);
  if (!SQL_SUCCEEDED(SQLSetStmtAttr(statement, SQL_ATTR_ROW_ARRAY_SIZE,
                                    reinterpret_cast<SQLPOINTER>(kBlockRows), 0))) {
    Raise(SQL_HANDLE_STMT, statement, "SQLSetStmtAttr(row array size)", codec.encoding);
  }
  SQLSetStmtAttr(statement, SQL_ATTR_ROWS_FETCHED_PTR, &fetched, 0);
  for (size_t c = 0; c < columns; ++c) {
    if (buffers[c].size() < widths[c] * kBlockRows) buffers[c].resize(widths[c] * kBlockRows);
    if (indicators[c].size() < kBlockRows) indicators[c].resize(kBlockRows);
    if (!SQL_SUCCEEDED(SQLBindCol(statement, static_cast<SQLUSMALLINT>(c + 1), SQL_C_CHAR,
                                  buffers[c].data(), static_cast<SQLLEN>(widths[c]),
                                  indicators[c].data()))) {
      Raise(SQL_HANDLE_STMT, statement, "SQLBindCol", codec.encoding);
    }
  }
  Cell cell;
  // Asked once per result, not per value (it compares the encoding's name).
  const bool utf8 = codec.utf8();
  while (table->RowCount() < cap) {
    const SQLRETURN rc = SQLFetch(statement);
    if (rc == SQL_NO_DATA) break;
    if (!SQL_SUCCEEDED(rc)) Raise(SQL_HANDLE_STMT, statement, "SQLFetch", codec.encoding);
    for (SQLULEN r = 0; r < fetched && table->RowCount() < cap; ++r) {
      table->AddRow();
      for (size_t c = 0; c < columns; ++c) {
        const SQLLEN n = indicators[c][r];
        if (n == SQL_NULL_DATA) {
          table->AddNull();
          continue;
        }
        if (n == SQL_NO_TOTAL || n >= static_cast<SQLLEN>(widths[c])) {
          // Longer than its buffer: read it again whole from this row.
          if (!SQL_SUCCEEDED(SQLSetPos(statement, static_cast<SQLSETPOSIROW>(r + 1), SQL_POSITION,
                                       SQL_LOCK_NO_CHANGE))) {
            Raise(SQL_HANDLE_STMT, statement, "SQLSetPos", codec.encoding);
          }
          ReadCell(statement, static_cast<SQLUSMALLINT>(c + 1), &cell, codec);
          Store(cell, fixed[c], table);
          continue;
        }
        const char* bytes = buffers[c].data() + r * widths[c];
        const size_t size = static_cast<size_t>(n);
        if (utf8 || AllAscii(bytes, size)) {
          StoreText(bytes, size, fixed[c], table);
        } else {
          const std::string text = codec.Decode(std::string(bytes, size));
          StoreText(text.data(), text.size(), fixed[c], table);
        }
      }
    }
  }
}

}  // namespace

std::string TextCodec::Decode(const std::string& text) const {
  return utf8() || IsAscii(text) ? text : ConvertText(text, encoding.c_str(), "UTF-8");
}

std::string TextCodec::Encode(const std::string& text) const {
  return utf8() || IsAscii(text) ? text : ConvertText(text, "UTF-8", encoding.c_str());
}

// The fixed width of column (1-based). SQLite's driver names the declared
// type without its length ("char") and gives the length as the column size,
// 255 where the declaration has none; a bare char is char(1) there, so a
// char(255) column reads as char(1) (its values are then not padded).
sqlite::FixedWidth FixedWidthOf(SQLHSTMT statement, SQLUSMALLINT column, SQLULEN size) {
  char name[128] = {0};
  SQLSMALLINT length = 0;
  if (!SQL_SUCCEEDED(SQLColAttribute(statement, column, SQL_DESC_TYPE_NAME, name, sizeof name,
                                     &length, nullptr))) {
    return sqlite::FixedWidth();
  }
  const sqlite::FixedWidth declared = sqlite::FixedWidthOf(name);
  if (declared.length == 0 || std::strchr(name, '(') != nullptr || size == 255 || size == 0) {
    return declared;
  }
  const std::string sized = std::string(name) + "(" + std::to_string(size) + ")";
  return sqlite::FixedWidthOf(sized.c_str());
}

std::unique_ptr<ResultTable> FetchAll(SQLHSTMT statement, SQLSMALLINT columns, long limit,
                                      const TextCodec& codec, bool block, bool pad_fixed) {
  auto table = std::make_unique<ResultTable>();
  table->columns.reserve(static_cast<size_t>(columns));
  std::vector<size_t> widths;
  std::vector<sqlite::FixedWidth> fixed(static_cast<size_t>(columns));
  for (SQLSMALLINT i = 1; i <= columns; ++i) {
    SQLCHAR name[256] = {0};
    SQLSMALLINT length = 0;
    SQLSMALLINT type = 0;
    SQLULEN size = 0;
    SQLSMALLINT digits = 0;
    SQLSMALLINT nullable = 0;
    const SQLRETURN rc = SQLDescribeCol(statement, static_cast<SQLUSMALLINT>(i), name, sizeof name,
                                        &length, &type, &size, &digits, &nullable);
    if (!SQL_SUCCEEDED(rc)) Raise(SQL_HANDLE_STMT, statement, "SQLDescribeCol", codec.encoding);
    table->columns.push_back(codec.Decode(reinterpret_cast<const char*>(name)));
    // Room for the column's characters in any encoding, and for numbers
    // and dates written out.
    widths.push_back(std::min(std::max(static_cast<size_t>(size) * 4 + 32, kMinWidth), kMaxWidth));
    if (pad_fixed) {
      fixed[static_cast<size_t>(i - 1)] =
          FixedWidthOf(statement, static_cast<SQLUSMALLINT>(i), size);
    }
  }
  const size_t cap = limit > 0 ? static_cast<size_t>(limit) : static_cast<size_t>(-1);
  if (block) {
    FetchBlocks(statement, widths, fixed, cap, codec, table.get());
    return table;
  }
  Cell cell;
  while (table->RowCount() < cap) {
    const SQLRETURN rc = SQLFetch(statement);
    if (rc == SQL_NO_DATA) break;
    if (!SQL_SUCCEEDED(rc)) Raise(SQL_HANDLE_STMT, statement, "SQLFetch", codec.encoding);
    table->AddRow();
    for (SQLSMALLINT i = 1; i <= columns; ++i) {
      ReadCell(statement, static_cast<SQLUSMALLINT>(i), &cell, codec);
      Store(cell, fixed[static_cast<size_t>(i - 1)], table.get());
    }
  }
  return table;
}

}  // namespace kestal::db::odbc
