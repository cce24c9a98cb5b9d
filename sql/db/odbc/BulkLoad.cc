// BULK INSERT through ODBC (see BulkLoad.h).
#include "sql/db/odbc/BulkLoad.h"

#include <sys/stat.h>

#include <fstream>
#include <functional>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/Codepage.h"
#include "sql/db/ComError.h"
#include "sql/db/odbc/BulkCopy.h"
#include "sql/db/odbc/Errors.h"
#include "sql/db/postgres/Dialect.h"
#include "sql/db/tsql/Lexer.h"
#include "sql/db/tsql/Rewriter.h"

namespace kestal::db::odbc {
namespace {

// Rows of parameters sent in one SQLExecute.
constexpr size_t kChunkRows = 1000;

[[noreturn]] void Reject(const std::string& text, FailureKind kind = FailureKind::kValue) {
  throw _com_error(kStatementError, CString(text), kind);
}

struct Column {
  std::string name;
  std::string type;  // format_type without modifier: "integer", "character varying"
  bool binary = false;
  bool identity = false;
};

std::string ReadWholeFile(const std::string& path) {
  struct stat info;
  std::ifstream in(path, std::ios::binary);
  if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || !in) {
    Reject("Cannot bulk load. The file \"" + path +
               "\" does not exist or you don't have file access rights.",
           FailureKind::kResource);
  }
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) {
    Reject("Cannot bulk load because the file \"" + path + "\" could not be read.",
           FailureKind::kResource);
  }
  return bytes;
}

// The data rows of a file: each row's file line and fields (empty: NULL).
struct FileRows {
  std::vector<size_t> lines;
  std::vector<std::vector<std::string>> fields;
};

// Splits content into rows and fields as the native engines do: rows at the
// row terminator (LF with an optional CR before it by default), fields at the
// field terminator, a trailing empty field dropped when the row has one more
// field than fits. fits(n) tells whether n fields fit the table.
template <class Fits>
FileRows SplitFile(const std::string& content, const tsql::BulkInsertRequest& request,
                   const std::string& table, size_t columns, Fits fits) {
  const std::string row_term = request.row_terminator.empty()
                                   ? std::string("\n")
                                   : tsql::TerminatorBytes(request.row_terminator);
  const std::string field_term = request.field_terminator.empty()
                                     ? std::string("\t")
                                     : tsql::TerminatorBytes(request.field_terminator);
  FileRows rows;
  size_t pos = 0;
  for (size_t line = 1; pos < content.size(); ++line) {
    size_t at = content.find(row_term, pos);
    const bool last = at == std::string::npos;
    if (last) at = content.size();
    size_t n = at - pos;
    if (row_term == "\n" && n > 0 && content[pos + n - 1] == '\r') --n;
    const std::string_view row(content.data() + pos, n);
    pos = last ? content.size() : at + row_term.size();
    if (static_cast<long>(line) < request.first_row || (last && n == 0)) continue;
    std::vector<std::string> fields;
    for (size_t start = 0;;) {
      const size_t end = row.find(field_term, start);
      if (end == std::string_view::npos) {
        fields.emplace_back(row.substr(start));
        break;
      }
      fields.emplace_back(row.substr(start, end - start));
      start = end + field_term.size();
    }
    if (fields.size() > 1 && fields.back().empty() && !fits(fields.size())) fields.pop_back();
    if (!fits(fields.size()) || (!rows.fields.empty() && fields.size() != rows.fields[0].size())) {
      Reject("Bulk load data conversion error (line " + std::to_string(line) +
             "): " + std::to_string(fields.size()) + " fields where table '" + table + "' has " +
             std::to_string(columns) + " columns.");
    }
    rows.lines.push_back(line);
    rows.fields.push_back(std::move(fields));
  }
  return rows;
}

// Live columns of the visible PostgreSQL table named like table.
std::vector<Column> PostgresColumns(const BulkTarget& target, const std::string& table,
                                    std::string* qualified) {
  const std::string sql =
      "select c.oid, quote_ident(n.nspname) || '.' || quote_ident(c.relname), a.attname, "
      "format_type(a.atttypid, null), (coalesce(nullif(t.typbasetype, 0), a.atttypid) = 17), "
      "(a.attidentity <> '' or pg_get_serial_sequence(quote_ident(n.nspname) || '.' || "
      "quote_ident(c.relname), a.attname) is not null) "
      "from pg_class c join pg_namespace n on n.oid = c.relnamespace "
      "join pg_attribute a on a.attrelid = c.oid join pg_type t on t.oid = a.atttypid "
      "where lower(c.relname) = lower(" +
      postgres::Literal(table) +
      ") and c.relkind in ('r', 'p') and pg_table_is_visible(c.oid) and a.attnum > 0 and not "
      "a.attisdropped order by c.oid, a.attnum";
  std::unique_ptr<ResultTable> found = target.raw(sql);
  std::vector<Column> columns;
  if (found) {
    for (size_t r = 0; r < found->RowCount(); ++r) {
      auto text = [&](size_t c) { return std::string(found->Text(r, c)); };
      if (found->Text(r, 0) != found->Text(0, 0)) break;
      *qualified = text(1);
      columns.push_back(Column{text(2), text(3), text(4) == "1" || text(4) == "t",
                               text(5) == "1" || text(5) == "t"});
    }
  }
  if (columns.empty()) Reject("Invalid object name '" + table + "'.", FailureKind::kStatement);
  return columns;
}

bool IsTextType(const std::string& type) {
  return type == "text" || type == "character varying" || type == "character";
}

// Inserts rows with parameter arrays of kChunkRows rows; raises naming the
// file line of a refused row when the driver tells which one it was.
void InsertChunks(const BulkTarget& target, const std::string& insert, const FileRows& rows,
                  const std::vector<size_t>& picked) {
  SQLHSTMT stmt = SQL_NULL_HSTMT;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, target.dbc, &stmt))) {
    Raise(SQL_HANDLE_DBC, target.dbc, "SQLAllocHandle(statement)", target.codec.encoding);
  }
  struct Free {
    SQLHSTMT h;
    ~Free() { SQLFreeHandle(SQL_HANDLE_STMT, h); }
  } free_stmt{stmt};
  const std::string wire = target.codec.Encode(insert);
  if (!SQL_SUCCEEDED(SQLPrepare(stmt, reinterpret_cast<SQLCHAR*>(const_cast<char*>(wire.c_str())),
                                static_cast<SQLINTEGER>(wire.size())))) {
    Raise(SQL_HANDLE_STMT, stmt, "SQLPrepare", target.codec.encoding);
  }
  SQLSetStmtAttr(stmt, SQL_ATTR_PARAM_BIND_TYPE,
                 reinterpret_cast<SQLPOINTER>(SQL_PARAM_BIND_BY_COLUMN), 0);
  std::vector<SQLUSMALLINT> status(kChunkRows);
  SQLULEN processed = 0;
  SQLSetStmtAttr(stmt, SQL_ATTR_PARAM_STATUS_PTR, status.data(), 0);
  SQLSetStmtAttr(stmt, SQL_ATTR_PARAMS_PROCESSED_PTR, &processed, 0);
  for (size_t first = 0; first < rows.fields.size(); first += kChunkRows) {
    const size_t count = std::min(kChunkRows, rows.fields.size() - first);
    std::vector<std::vector<char>> buffers(picked.size());
    std::vector<std::vector<SQLLEN>> lengths(picked.size(), std::vector<SQLLEN>(count));
    std::vector<size_t> widths(picked.size(), 1);
    std::vector<std::vector<std::string>> values(picked.size(), std::vector<std::string>(count));
    for (size_t p = 0; p < picked.size(); ++p) {
      for (size_t r = 0; r < count; ++r) {
        const std::string& field = rows.fields[first + r][picked[p]];
        values[p][r] = target.codec.Encode(kestal::ToUtf8(field));
        widths[p] = std::max(widths[p], values[p][r].size() + 1);
      }
    }
    SQLSetStmtAttr(stmt, SQL_ATTR_PARAMSET_SIZE, reinterpret_cast<SQLPOINTER>(count), 0);
    for (size_t p = 0; p < picked.size(); ++p) {
      buffers[p].assign(widths[p] * count, '\0');
      for (size_t r = 0; r < count; ++r) {
        const std::string& v = values[p][r];
        std::copy(v.begin(), v.end(), buffers[p].begin() + static_cast<long>(r * widths[p]));
        lengths[p][r] = v.empty() ? SQL_NULL_DATA : static_cast<SQLLEN>(v.size());
      }
      const SQLRETURN rc = SQLBindParameter(
          stmt, static_cast<SQLUSMALLINT>(p + 1), SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR,
          widths[p], 0, buffers[p].data(), static_cast<SQLLEN>(widths[p]), lengths[p].data());
      if (!SQL_SUCCEEDED(rc))
        Raise(SQL_HANDLE_STMT, stmt, "SQLBindParameter", target.codec.encoding);
    }
    const SQLRETURN rc = SQLExecute(stmt);
    if (!SQL_SUCCEEDED(rc) && rc != SQL_NO_DATA) {
      const std::vector<Diagnostic> records =
          ReadDiagnostics(SQL_HANDLE_STMT, stmt, target.codec.encoding);
      const HRESULT code = StatusFor(records);
      std::string text = Describe(records, "SQLExecute");
      for (size_t r = 0; r < count; ++r) {
        if (status[r] == SQL_PARAM_ERROR) {
          text = "Bulk load data conversion error (line " + std::to_string(rows.lines[first + r]) +
                 "): " + text;
          break;
        }
      }
      throw _com_error(code, CString(text), KindFor(records));
    }
    while (SQL_SUCCEEDED(SQLMoreResults(stmt))) {
    }
    SQLFreeStmt(stmt, SQL_CLOSE);
  }
}

// Runs load so that all of it stays or none: inside the host's transaction
// between a savepoint and its release (rolled back to on failure), else in a
// transaction of its own (autocommit off, SQLEndTran). An empty release
// text sends none.
void AllOrNothing(const BulkTarget& target, const std::string& save, const std::string& undo,
                  const std::string& release, const std::function<void()>& load) {
  if (target.in_transaction) {
    target.raw(save);
    try {
      load();
    } catch (const _com_error&) {
      try {
        target.raw(undo);
      } catch (const _com_error&) {
        // A lost link has ended the transaction anyway.
      }
      throw;
    }
    if (!release.empty()) target.raw(release);
    return;
  }
  auto autocommit = [&target](SQLULEN on) {
    SQLSetConnectAttr(target.dbc, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(on), 0);
  };
  autocommit(SQL_AUTOCOMMIT_OFF);
  try {
    load();
  } catch (...) {
    SQLEndTran(SQL_HANDLE_DBC, target.dbc, SQL_ROLLBACK);
    autocommit(SQL_AUTOCOMMIT_ON);
    throw;
  }
  const SQLRETURN rc = SQLEndTran(SQL_HANDLE_DBC, target.dbc, SQL_COMMIT);
  if (!SQL_SUCCEEDED(rc)) {
    try {
      Raise(SQL_HANDLE_DBC, target.dbc, "SQLEndTran(commit)", target.codec.encoding);
    } catch (...) {
      autocommit(SQL_AUTOCOMMIT_ON);
      throw;
    }
  }
  autocommit(SQL_AUTOCOMMIT_ON);
}

// The PostgreSQL load: parameter arrays inside one transaction of the
// loader's own, or a savepoint of the host's.
void LoadPostgres(const BulkTarget& target, const tsql::BulkInsertRequest& request) {
  const std::string table = postgres::TablePart(request.table);
  const std::string content = ReadWholeFile(request.path);
  std::string qualified;
  const std::vector<Column> all = PostgresColumns(target, table, &qualified);
  size_t without_binary = 0;
  for (const Column& c : all) without_binary += c.binary ? 0 : 1;
  const FileRows rows = SplitFile(content, request, table, all.size(),
                                  [&](size_t n) { return n == all.size() || n == without_binary; });
  if (rows.fields.empty()) return;
  std::vector<const Column*> targets;
  for (const Column& c : all) {
    if (rows.fields[0].size() == all.size() || !c.binary) targets.push_back(&c);
  }
  std::string insert = "insert into " + qualified + " (";
  std::string values;
  std::vector<size_t> picked;
  for (size_t f = 0; f < targets.size(); ++f) {
    if (targets[f]->identity && !request.keep_identity) continue;
    if (!picked.empty()) {
      insert += ", ";
      values += ", ";
    }
    picked.push_back(f);
    insert += postgres::QuoteName(targets[f]->name);
    // Text goes as it is, so an overlong value is refused by its column;
    // other types are read from text as COPY reads them.
    values += IsTextType(targets[f]->type) ? std::string("?")
                                           : "cast(cast(? as text) as " + targets[f]->type + ")";
  }
  insert += ") values (" + values + ")";
  AllOrNothing(target, "savepoint kestal_bulk", "rollback to savepoint kestal_bulk",
               "release savepoint kestal_bulk",
               [&] { InsertChunks(target, insert, rows, picked); });
}

void SendRows(const BulkTarget& target, BulkCopy* copy, const tsql::BulkInsertRequest& request,
              const FileRows& rows, size_t columns);

// The SQL Server load through the driver's bulk copy (BulkCopy.h): every
// row sent with bcp_sendrow, committed by bcp_done only when all went; a
// failure before that leaves nothing (the batch is never closed with
// bcp_batch midway).
void LoadSqlServer(const BulkTarget& target, const tsql::BulkInsertRequest& request) {
  // A driver without bulk copy is refused before anything is read or sent.
  std::unique_ptr<BulkCopy> copy = OpenBulkCopy(target.dbc, target.driver, target.codec.encoding);
  const std::string content = ReadWholeFile(request.path);
  std::unique_ptr<ResultTable> found =
      target.raw("select count(*) from syscolumns where id = object_id(" +
                 tsql::QuoteString(request.table) + ")");
  const size_t columns =
      found && found->RowCount() > 0 ? std::stoul(std::string(found->Text(0, 0))) : 0;
  if (columns == 0) Reject("Invalid object name '" + request.table + "'.", FailureKind::kStatement);
  const FileRows rows =
      SplitFile(content, request, request.table, columns, [&](size_t n) { return n == columns; });
  // Rows sent before a failing one would stay with bcp_done alone: the copy
  // runs inside a transaction (or a savepoint of the host's) instead.
  AllOrNothing(target, "save transaction kestal_bulk", "rollback transaction kestal_bulk", "",
               [&] { SendRows(target, copy.get(), request, rows, columns); });
}

// Sends the rows through bulk copy on the connection.
void SendRows(const BulkTarget& target, BulkCopy* copy, const tsql::BulkInsertRequest& request,
              const FileRows& rows, size_t columns) {
  copy->Init(request.table, request.keep_identity);
  std::vector<std::string> values(columns);
  for (size_t i = 0; i < rows.fields.size(); ++i) {
    for (size_t c = 0; c < columns; ++c) {
      values[c] = target.codec.Encode(kestal::ToUtf8(rows.fields[i][c]));
      copy->Bind(static_cast<int>(c + 1), values[c], values[c].empty());
    }
    if (!copy->SendRow()) {
      const std::vector<Diagnostic> records = ReadDiagnostics(SQL_HANDLE_DBC, target.dbc);
      copy->Done();
      throw _com_error(StatusFor(records), CString("Bulk load data conversion error (line " +
                                                   std::to_string(rows.lines[i]) +
                                                   "): " + Describe(records, "bcp_sendrow")));
    }
  }
  if (copy->Done() < 0) Raise(SQL_HANDLE_DBC, target.dbc, "bcp_done", target.codec.encoding);
}

}  // namespace

void BulkLoad(const BulkTarget& target, const tsql::BulkInsertRequest& request) {
  switch (target.server) {
    case Server::kSqlite:
      target.run(
          "select kestal_bulk_insert(" + tsql::QuoteString(request.table) + ", " +
          tsql::QuoteString(request.path) + ", " + tsql::QuoteString(request.field_terminator) +
          ", " + tsql::QuoteString(request.row_terminator) + ", " +
          std::to_string(request.first_row) + ", " + (request.keep_identity ? "1" : "0") + ")");
      return;
    case Server::kPostgres:
      LoadPostgres(target, request);
      return;
    case Server::kSqlServer:
      LoadSqlServer(target, request);
      return;
  }
}

}  // namespace kestal::db::odbc
