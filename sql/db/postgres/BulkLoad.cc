#include "sql/db/postgres/BulkLoad.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "platform/Codepage.h"
#include "sql/db/postgres/Dialect.h"
#include "sql/db/postgres/Errors.h"

namespace kestal::db::postgres {
namespace {

using ResultPtr = std::unique_ptr<PGresult, decltype(&PQclear)>;

struct Column {
  std::string name;
  bool binary = false;    // bytea: left out of the library's own load files
  bool identity = false;  // identity or serial column
};

// Live columns of the visible table named table (without regard to case).
constexpr const char* kColumnsQuery =
    "select c.oid, quote_ident(n.nspname) || '.' || quote_ident(c.relname), a.attname, "
    "(coalesce(nullif(t.typbasetype, 0), a.atttypid) = 17), "
    "(a.attidentity <> '' or pg_get_serial_sequence(quote_ident(n.nspname) || '.' || "
    "quote_ident(c.relname), a.attname) is not null) "
    "from pg_class c join pg_namespace n on n.oid = c.relnamespace "
    "join pg_attribute a on a.attrelid = c.oid join pg_type t on t.oid = a.atttypid "
    "where lower(c.relname) = lower($1) and c.relkind in ('r', 'p') and "
    "pg_table_is_visible(c.oid) and a.attnum > 0 and not a.attisdropped order by c.oid, a.attnum";

// The columns of the table named table (the first one when names differ only
// in case); qualified receives its quoted, schema-qualified name.
std::vector<Column> TableColumns(PGconn* conn, const std::string& table, std::string* qualified) {
  const char* values[] = {table.c_str()};
  ResultPtr r(PQexecParams(conn, kColumnsQuery, 1, nullptr, values, nullptr, nullptr, 0), &PQclear);
  if (!r || PQresultStatus(r.get()) != PGRES_TUPLES_OK) RaiseFailure(conn, r.get());
  std::vector<Column> columns;
  for (int i = 0; i < PQntuples(r.get()); ++i) {
    if (std::string(PQgetvalue(r.get(), i, 0)) != PQgetvalue(r.get(), 0, 0)) break;
    *qualified = PQgetvalue(r.get(), i, 1);
    Column c;
    c.name = PQgetvalue(r.get(), i, 2);
    c.binary = PQgetvalue(r.get(), i, 3)[0] == 't';
    c.identity = PQgetvalue(r.get(), i, 4)[0] == 't';
    columns.push_back(c);
  }
  if (columns.empty()) RaiseRejected("Invalid object name '" + table + "'.");
  return columns;
}

// A terminator as T-SQL writes it: \t, \n, \r\n escapes or a hex byte 0x0a.
std::string Terminator(const std::string& written) {
  if (written.size() > 2 && written[0] == '0' && (written[1] == 'x' || written[1] == 'X')) {
    return std::string(1, static_cast<char>(std::stoi(written.substr(2), nullptr, 16)));
  }
  std::string out;
  for (size_t i = 0; i < written.size(); ++i) {
    if (written[i] == '\\' && i + 1 < written.size()) {
      const char e = written[++i];
      out += e == 't' ? '\t' : e == 'n' ? '\n' : e == 'r' ? '\r' : e == '0' ? '\0' : e;
    } else {
      out += written[i];
    }
  }
  return out;
}

std::vector<std::string> Split(const std::string& text, const std::string& separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (true) {
    const size_t at = text.find(separator, start);
    if (at == std::string::npos) {
      parts.push_back(text.substr(start));
      return parts;
    }
    parts.push_back(text.substr(start, at - start));
    start = at + separator.size();
  }
}

// Rows of the file. Without a row terminator, and for "\n" (which SQL Server
// reads as CR LF), a line ends at LF with an optional CR before it.
std::vector<std::string> Rows(const std::string& content, const std::string& written) {
  const std::string term = written.empty() ? "\n" : Terminator(written);
  std::vector<std::string> rows = Split(content, term);
  if (term == "\n") {
    for (std::string& row : rows) {
      if (!row.empty() && row.back() == '\r') row.pop_back();
    }
  }
  if (!rows.empty() && rows.back().empty()) rows.pop_back();
  return rows;
}

// One value in COPY text format.
void AppendCopyValue(std::string& out, const std::string& value) {
  if (value.empty()) {
    out += "\\N";
    return;
  }
  for (char c : value) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        out += c;
    }
  }
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    RaiseRejected("Cannot bulk load. The file \"" + path +
                  "\" does not exist or you don't have file access rights.");
  }
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// The file line of the COPY data line named in a failure's context
// ("COPY t, line 3, column c: ..."), or 0.
size_t FileLineOf(const PGresult* failure, const std::vector<size_t>& file_lines) {
  const char* context = PQresultErrorField(failure, PG_DIAG_CONTEXT);
  if (context == nullptr) return 0;
  const char* at = std::strstr(context, ", line ");
  if (at == nullptr) return 0;
  const size_t copy_line = std::strtoul(at + 7, nullptr, 10);
  return copy_line >= 1 && copy_line <= file_lines.size() ? file_lines[copy_line - 1] : 0;
}

// Streams data (COPY text format) with command; a value the server refuses
// is reported with the file line it came from.
void SendCopy(PGconn* conn, const std::string& command, const std::string& data,
              const std::vector<size_t>& file_lines) {
  ResultPtr start(PQexec(conn, command.c_str()), &PQclear);
  if (!start || PQresultStatus(start.get()) != PGRES_COPY_IN) RaiseFailure(conn, start.get());
  constexpr size_t kChunk = 64 * 1024;
  bool sent = true;
  for (size_t at = 0; at < data.size() && sent; at += kChunk) {
    const size_t n = std::min(kChunk, data.size() - at);
    sent = PQputCopyData(conn, data.data() + at, static_cast<int>(n)) == 1;
  }
  if (!sent || PQputCopyEnd(conn, nullptr) != 1) RaiseFailure(conn, nullptr);
  // The COPY's own outcome, then the end of the command.
  std::string failure;
  HRESULT status = 0;
  while (PGresult* r = PQgetResult(conn)) {
    ResultPtr owned(r, &PQclear);
    if (PQresultStatus(r) != PGRES_COMMAND_OK && status == 0) {
      status = StatusOf(conn, r);
      failure = DescriptionOf(conn, r);
      const size_t line = FileLineOf(r, file_lines);
      if (status == kStatementError && line > 0) {
        failure = "Bulk load data conversion error (line " + std::to_string(line) + "): " + failure;
      }
    }
  }
  if (status != 0) throw _com_error(status, CString(failure));
  if (PQstatus(conn) == CONNECTION_BAD) RaiseFailure(conn, nullptr);
}

}  // namespace

void BulkLoad(PGconn* conn, const tsql::BulkInsertRequest& request) {
  const std::string table = TablePart(request.table);
  const std::string content = kestal::ToUtf8(ReadWholeFile(request.path));
  std::string qualified;
  const std::vector<Column> all = TableColumns(conn, table, &qualified);
  std::vector<Column> without_binary;
  for (const Column& c : all) {
    if (!c.binary) without_binary.push_back(c);
  }
  const std::string field_term =
      request.field_terminator.empty() ? std::string("\t") : Terminator(request.field_terminator);
  const std::vector<std::string> rows = Rows(content, request.row_terminator);

  const std::vector<Column>* targets = nullptr;
  std::string data;
  std::vector<size_t> file_lines;  // file line of each data line
  for (size_t r = 0; r < rows.size(); ++r) {
    if (static_cast<long>(r) + 1 < request.first_row) continue;
    std::vector<std::string> fields = Split(rows[r], field_term);
    if (fields.size() > 1 && fields.back().empty() && fields.size() != all.size() &&
        fields.size() != without_binary.size()) {
      fields.pop_back();
    }
    const std::vector<Column>* fit = fields.size() == all.size()              ? &all
                                     : fields.size() == without_binary.size() ? &without_binary
                                                                              : nullptr;
    if (fit == nullptr || (targets != nullptr && fit != targets)) {
      RaiseRejected("Bulk load data conversion error (line " + std::to_string(r + 1) +
                    "): " + std::to_string(fields.size()) + " fields where table '" + table +
                    "' has " + std::to_string(all.size()) + " columns.");
    }
    targets = fit;
    bool first = true;
    for (size_t f = 0; f < fields.size(); ++f) {
      if ((*fit)[f].identity && !request.keep_identity) continue;
      if (!first) data += '\t';
      first = false;
      AppendCopyValue(data, fields[f]);
    }
    data += '\n';
    file_lines.push_back(r + 1);
  }
  if (targets == nullptr) return;  // nothing to load

  std::string command = "copy " + qualified + " (";
  bool first = true;
  for (const Column& c : *targets) {
    if (c.identity && !request.keep_identity) continue;
    if (!first) command += ", ";
    first = false;
    // The catalog's own spelling, quoted exactly.
    std::string quoted = "\"";
    for (char ch : c.name) quoted += ch == '"' ? std::string("\"\"") : std::string(1, ch);
    command += quoted + "\"";
  }
  command += ") from stdin";
  SendCopy(conn, command, data, file_lines);
}

}  // namespace kestal::db::postgres
