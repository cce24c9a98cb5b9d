// Fetching a result whole (see Results.h).
#include "sql/db/odbc/Results.h"

#include "platform/Codepage.h"
#include "sql/db/odbc/Errors.h"

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

}  // namespace

std::string TextCodec::Decode(const std::string& text) const {
  return utf8() || IsAscii(text) ? text : ConvertText(text, encoding.c_str(), "UTF-8");
}

std::string TextCodec::Encode(const std::string& text) const {
  return utf8() || IsAscii(text) ? text : ConvertText(text, "UTF-8", encoding.c_str());
}

std::unique_ptr<ResultTable> FetchAll(SQLHSTMT statement, SQLSMALLINT columns, long limit,
                                      const TextCodec& codec) {
  auto table = std::make_unique<ResultTable>();
  table->columns.reserve(static_cast<size_t>(columns));
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
  }
  const size_t cap = limit > 0 ? static_cast<size_t>(limit) : static_cast<size_t>(-1);
  while (table->rows.size() < cap) {
    const SQLRETURN rc = SQLFetch(statement);
    if (rc == SQL_NO_DATA) break;
    if (!SQL_SUCCEEDED(rc)) Raise(SQL_HANDLE_STMT, statement, "SQLFetch", codec.encoding);
    std::vector<Cell>& row = table->rows.emplace_back(static_cast<size_t>(columns));
    for (SQLSMALLINT i = 1; i <= columns; ++i) {
      ReadCell(statement, static_cast<SQLUSMALLINT>(i), &row[static_cast<size_t>(i - 1)], codec);
    }
  }
  return table;
}

}  // namespace kestal::db::odbc
