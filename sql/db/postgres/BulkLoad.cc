#include "sql/db/postgres/BulkLoad.h"

#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/Codepage.h"
#include "sql/db/postgres/Dialect.h"
#include "sql/db/postgres/Errors.h"
#include "sql/db/tsql/Rewriter.h"

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
    "pg_table_is_visible(c.oid) and a.attnum > 0 and not a.attisdropped "
    "order by (c.relname <> lower(c.relname)), c.relname collate \"C\", c.oid, a.attnum";

// The name of kColumnsQuery once prepared on a connection.
constexpr const char* kColumnsStatement = "kestal_bulk_columns";

// Runs kColumnsQuery for table: as the statement prepared on conn, preparing
// it first when *prepared is false. The catalog query costs the server more
// to plan than to run, and a bridge loads every few milliseconds. When it
// cannot be prepared the query runs unprepared and reports the failure.
PGresult* RunColumnsQuery(PGconn* conn, const std::string& table, bool* prepared) {
  const char* values[] = {table.c_str()};
  if (!*prepared) {
    ResultPtr made(PQprepare(conn, kColumnsStatement, kColumnsQuery, 1, nullptr), &PQclear);
    *prepared = made && PQresultStatus(made.get()) == PGRES_COMMAND_OK;
  }
  if (*prepared) return PQexecPrepared(conn, kColumnsStatement, 1, values, nullptr, nullptr, 0);
  return PQexecParams(conn, kColumnsQuery, 1, nullptr, values, nullptr, nullptr, 0);
}

// The values of the rows of the columns query r that describe the table
// statements pick (when names differ only in case, the lower-case one, else
// the first in byte order): the rows of its first table, row after row.
std::vector<std::string> CatalogRows(const PGresult* r) {
  std::vector<std::string> values;
  for (int i = 0; i < PQntuples(r); ++i) {
    if (std::strcmp(PQgetvalue(r, i, 0), PQgetvalue(r, 0, 0)) != 0) break;
    for (int f = 0; f < 5; ++f) values.emplace_back(PQgetvalue(r, i, f));
  }
  return values;
}

// The columns CatalogRows gave; qualified receives the table's quoted,
// schema-qualified name. Raises "Invalid object name" when there are none.
std::vector<Column> ColumnsOf(const std::vector<std::string>& rows, const std::string& table,
                              std::string* qualified) {
  std::vector<Column> columns;
  for (size_t i = 0; i + 5 <= rows.size(); i += 5) {
    *qualified = rows[i + 1];
    Column c;
    c.name = rows[i + 2];
    c.binary = rows[i + 3] == "t";
    c.identity = rows[i + 4] == "t";
    columns.push_back(c);
  }
  if (columns.empty()) RaiseRejected("Invalid object name '" + table + "'.");
  return columns;
}

// The catalog's rows for the table named table (CatalogRows).
std::vector<std::string> LookUp(PGconn* conn, const std::string& table, bool* prepared) {
  ResultPtr r(RunColumnsQuery(conn, table, prepared), &PQclear);
  if (!r || PQresultStatus(r.get()) != PGRES_TUPLES_OK) RaiseFailure(conn, r.get());
  return CatalogRows(r.get());
}

// One value in COPY text format, appended to out: an empty field is NULL;
// backslashes, tabs and line ends are escaped.
void AppendCopyValue(std::string& out, const char* value, size_t size) {
  if (size == 0) {
    out += "\\N";
    return;
  }
  const char* const end = value + size;
  const char* plain = value;  // start of the bytes not yet appended
  for (const char* p = value; p < end; ++p) {
    const char c = *p;
    if (c != '\\' && c != '\t' && c != '\n' && c != '\r') continue;
    out.append(plain, p);
    out += '\\';
    out += c == '\t' ? 't' : c == '\n' ? 'n' : c == '\r' ? 'r' : '\\';
    plain = p + 1;
  }
  out.append(plain, end);
}

// The rows of a file's text one by one, without copying them. Without a row
// terminator, and for "\n" (which SQL Server reads as CR LF), a line ends at
// LF with an optional CR before it. An empty last row (the text after the
// final terminator) is no row.
class RowReader {
 public:
  RowReader(const std::string& content, const std::string& written)
      : content_(content), term_(written.empty() ? "\n" : tsql::TerminatorBytes(written)) {}
  // Sets *begin and *size to the next row; false when there is none.
  bool Next(const char** begin, size_t* size) {
    if (done_) return false;
    size_t at = content_.find(term_, pos_);
    const bool last = at == std::string::npos;
    if (last) at = content_.size();
    size_t n = at - pos_;
    if (term_ == "\n" && n > 0 && content_[pos_ + n - 1] == '\r') --n;
    *begin = content_.data() + pos_;
    *size = n;
    if (last) {
      done_ = true;
      return n > 0;
    }
    pos_ = at + term_.size();
    return true;
  }

 private:
  const std::string& content_;
  const std::string term_;
  size_t pos_ = 0;
  bool done_ = false;
};

// Sets *fields to the (offset, size) of each field of row, split at term.
void SplitFields(const char* row, size_t size, const std::string& term,
                 std::vector<std::pair<size_t, size_t>>* fields) {
  fields->clear();
  const std::string_view text(row, size);
  size_t start = 0;
  while (true) {
    const size_t at = text.find(term, start);
    if (at == std::string_view::npos) {
      fields->emplace_back(start, size - start);
      return;
    }
    fields->emplace_back(start, at - start);
    start = at + term.size();
  }
}

std::string ReadWholeFile(const std::string& path) {
  // Only a regular file: a directory opens but has no size to read.
  struct stat info;
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || !in) {
    RaiseRejected("Cannot bulk load. The file \"" + path +
                      "\" does not exist or you don't have file access rights.",
                  FailureKind::kResource);
  }
  // One read of the whole file into a string of its size.
  const std::streamoff size = in.tellg();
  std::string bytes(size > 0 ? static_cast<size_t>(size) : 0, '\0');
  in.seekg(0);
  if (size < 0 || !in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()))) {
    RaiseRejected("Cannot bulk load because the file \"" + path + "\" could not be read.",
                  FailureKind::kResource);
  }
  return bytes;
}

// Data is passed to the server in pieces of about this size, so that it parses
// one while the next is built.
constexpr size_t kCopyPiece = 256 * 1024;

// A COPY FROM STDIN in progress on a connection.
class CopyStream {
 public:
  // Starts command; raises the mapped error when the server refuses it.
  CopyStream(PGconn* conn, const std::string& command, size_t first_file_line)
      : conn_(conn), first_file_line_(first_file_line) {
    ResultPtr start(PQexec(conn, command.c_str()), &PQclear);
    if (!start || PQresultStatus(start.get()) != PGRES_COPY_IN) RaiseFailure(conn, start.get());
    open_ = true;
    buffer_.reserve(kCopyPiece + 4096);
  }
  // Takes over a COPY FROM STDIN the connection has already entered.
  struct Started {};
  CopyStream(PGconn* conn, size_t first_file_line, Started)
      : conn_(conn), first_file_line_(first_file_line), open_(true) {
    buffer_.reserve(kCopyPiece + 4096);
  }
  // An unfinished COPY is cancelled, so that the connection is ready for the
  // next command.
  ~CopyStream() {
    if (open_) Abort("load abandoned");
  }
  CopyStream(const CopyStream&) = delete;
  CopyStream& operator=(const CopyStream&) = delete;

  // The data line being built (COPY text format, without its line end).
  std::string& Line() { return buffer_; }
  // Ends the line; passes the data on when a piece is full.
  void EndLine() {
    buffer_ += '\n';
    ++lines_;
    if (buffer_.size() >= kCopyPiece) Flush();
  }
  // Sends the rest and ends the COPY; a value the server refuses is reported
  // with the file line it came from.
  void Finish() {
    Flush();
    open_ = false;
    if (PQputCopyEnd(conn_, nullptr) != 1) RaiseFailure(conn_, nullptr);
    std::string failure;
    HRESULT status = 0;
    FailureKind kind = FailureKind::kUnknown;
    while (PGresult* r = PQgetResult(conn_)) {
      ResultPtr owned(r, &PQclear);
      if (PQresultStatus(r) != PGRES_COMMAND_OK && status == 0) {
        status = StatusOf(conn_, r);
        kind = KindOf(conn_, r);
        failure = DescriptionOf(conn_, r);
        const size_t line = FileLineOf(r);
        if (status == kStatementError && line > 0) {
          failure =
              "Bulk load data conversion error (line " + std::to_string(line) + "): " + failure;
        }
      }
    }
    if (status != 0) throw _com_error(status, CString(failure), kind);
    if (PQstatus(conn_) == CONNECTION_BAD) RaiseFailure(conn_, nullptr);
  }
  // Cancels the COPY: nothing of it stays. Never throws.
  void Abort(const char* why) {
    open_ = false;
    if (PQputCopyEnd(conn_, why) == 1) {
      while (PGresult* r = PQgetResult(conn_)) PQclear(r);
    }
  }

 private:
  void Flush() {
    if (buffer_.empty()) return;
    if (PQputCopyData(conn_, buffer_.data(), static_cast<int>(buffer_.size())) != 1) {
      open_ = false;
      RaiseFailure(conn_, nullptr);
    }
    buffer_.clear();
  }
  // The file line of the COPY data line named in a failure's context
  // ("COPY t, line 3, column c: ..."), or 0.
  size_t FileLineOf(const PGresult* failure) const {
    const char* context = PQresultErrorField(failure, PG_DIAG_CONTEXT);
    if (context == nullptr) return 0;
    const char* at = std::strstr(context, ", line ");
    if (at == nullptr) return 0;
    const size_t copy_line = std::strtoul(at + 7, nullptr, 10);
    return copy_line >= 1 && copy_line <= lines_ ? first_file_line_ + copy_line - 1 : 0;
  }

  PGconn* const conn_;
  const size_t first_file_line_;  // file line of the first data line
  std::string buffer_;
  size_t lines_ = 0;  // data lines ended so far
  bool open_ = false;
};

// COPY ... FROM STDIN into the target columns that take the file's values.
std::string CopyCommand(const std::string& qualified, const std::vector<Column>& targets,
                        const tsql::BulkInsertRequest& request) {
  std::string command = "copy " + qualified + " (";
  bool first = true;
  for (const Column& c : targets) {
    if (c.identity && !request.keep_identity) continue;
    if (!first) command += ", ";
    first = false;
    // The catalog's own spelling, quoted exactly.
    std::string quoted = "\"";
    for (char ch : c.name) quoted += ch == '"' ? std::string("\"\"") : std::string(1, ch);
    command += quoted + "\"";
  }
  return command + ") from stdin";
}

// Thrown by a COPY start that finds the catalog changed since the columns
// were read: nothing was loaded and the load starts again.
struct StaleColumns {};

// Begins the COPY for a command and the file line of its first data row.
using CopyStart = std::function<std::unique_ptr<CopyStream>(const std::string&, size_t)>;

// Streams the rows of content into a COPY that start begins at the first
// data row, whose fields choose the columns among all (every later row must
// have as many). Returns false when there was no data row. remembered: all
// is what the catalog said at an earlier load, so a first row that does not
// fit it throws StaleColumns, to be judged against the catalog as it is now.
bool Stream(const tsql::BulkInsertRequest& request, const std::string& table,
            const std::string& content, const std::string& qualified,
            const std::vector<Column>& all, const CopyStart& start, bool remembered) {
  std::vector<Column> without_binary;
  for (const Column& c : all) {
    if (!c.binary) without_binary.push_back(c);
  }
  const std::string field_term = request.field_terminator.empty()
                                     ? std::string("\t")
                                     : tsql::TerminatorBytes(request.field_terminator);
  RowReader rows(content, request.row_terminator);

  const std::vector<Column>* targets = nullptr;
  std::unique_ptr<CopyStream> copy;
  std::vector<std::pair<size_t, size_t>> fields;
  const char* row = nullptr;
  size_t size = 0;
  for (size_t r = 0; rows.Next(&row, &size); ++r) {
    if (static_cast<long>(r) + 1 < request.first_row) continue;
    SplitFields(row, size, field_term, &fields);
    if (fields.size() > 1 && fields.back().second == 0 && fields.size() != all.size() &&
        fields.size() != without_binary.size()) {
      fields.pop_back();
    }
    const std::vector<Column>* fit = fields.size() == all.size()              ? &all
                                     : fields.size() == without_binary.size() ? &without_binary
                                                                              : nullptr;
    if (fit == nullptr && remembered && !copy) throw StaleColumns();
    if (fit == nullptr || (targets != nullptr && fit != targets)) {
      // Nothing of the file stays: the COPY begun is cancelled first.
      if (copy) copy->Abort("rows that do not fit the table");
      RaiseRejected("Bulk load data conversion error (line " + std::to_string(r + 1) +
                    "): " + std::to_string(fields.size()) + " fields where table '" + table +
                    "' has " + std::to_string(all.size()) + " columns.");
    }
    if (!copy) {
      targets = fit;
      copy = start(CopyCommand(qualified, *targets, request), r + 1);
    }
    std::string& line = copy->Line();
    bool first = true;
    for (size_t f = 0; f < fields.size(); ++f) {
      if ((*fit)[f].identity && !request.keep_identity) continue;
      if (!first) line += '\t';
      first = false;
      AppendCopyValue(line, row + fields[f].first, fields[f].second);
    }
    copy->EndLine();
  }
  if (!copy) return false;
  copy->Finish();
  return true;
}

// The load into the table of the last load, outside a transaction block:
// one query asks the catalog (the prepared statement) and starts the COPY
// built from memo. False when it cannot be taken (no data row, the first row
// does not fit the remembered columns, or the catalog says otherwise now):
// nothing was loaded then.
bool LoadIntoKnownTable(PGconn* conn, const tsql::BulkInsertRequest& request,
                        const std::string& table, const std::string& content,
                        const BulkLoadMemo& memo) {
  std::string qualified;
  const std::vector<Column> all = ColumnsOf(memo.catalog, table, &qualified);
  const CopyStart start = [&](const std::string& command, size_t first_line) {
    char* literal = PQescapeLiteral(conn, table.data(), table.size());
    if (literal == nullptr) throw StaleColumns();
    const std::string text =
        std::string("execute ") + kColumnsStatement + "(" + literal + "); " + command;
    PQfreemem(literal);
    if (PQsendQuery(conn, text.c_str()) != 1) throw StaleColumns();
    ResultPtr look(PQgetResult(conn), &PQclear);
    const bool same = look && PQresultStatus(look.get()) == PGRES_TUPLES_OK &&
                      CatalogRows(look.get()) == memo.catalog;
    ResultPtr began(PQgetResult(conn), &PQclear);
    const bool copying = began && PQresultStatus(began.get()) == PGRES_COPY_IN;
    if (copying && same) {
      return std::make_unique<CopyStream>(conn, first_line, CopyStream::Started{});
    }
    // Cancelled before any row: the query's implicit transaction ends
    // without a row of it.
    if (copying) PQputCopyEnd(conn, "the table changed since its columns were read");
    while (PGresult* rest = PQgetResult(conn)) PQclear(rest);
    throw StaleColumns();
  };
  try {
    return Stream(request, table, content, qualified, all, start, true);
  } catch (const StaleColumns&) {
    return false;
  }
}

}  // namespace

void BulkLoad(PGconn* conn, const tsql::BulkInsertRequest& request, BulkLoadMemo* memo) {
  const std::string table = TablePart(request.table);
  const std::string content = kestal::ToUtf8(ReadWholeFile(request.path));
  if (memo->prepared && !memo->table.empty() && memo->table == table &&
      PQtransactionStatus(conn) == PQTRANS_IDLE) {
    if (LoadIntoKnownTable(conn, request, table, content, *memo)) return;
  }
  memo->table.clear();
  std::vector<std::string> catalog = LookUp(conn, table, &memo->prepared);
  std::string qualified;
  const std::vector<Column> all = ColumnsOf(catalog, table, &qualified);
  memo->table = table;
  memo->catalog = std::move(catalog);
  const CopyStart start = [conn](const std::string& command, size_t first_line) {
    return std::make_unique<CopyStream>(conn, command, first_line);
  };
  Stream(request, table, content, qualified, all, start, false);  // no data row: nothing to load
}

}  // namespace kestal::db::postgres
