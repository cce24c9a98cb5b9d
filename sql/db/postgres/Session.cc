#include "sql/db/postgres/Session.h"

#include <malloc.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "platform/Codepage.h"
#include "sql/db/FaultInjection.h"
#include "sql/db/postgres/BulkLoad.h"
#include "sql/db/postgres/Catalog.h"
#include "sql/db/postgres/Conninfo.h"
#include "sql/db/postgres/Dialect.h"
#include "sql/db/postgres/Errors.h"
#include "sql/db/postgres/Ident.h"
#include "sql/db/postgres/Results.h"
#include "sql/db/tsql/InsertJoin.h"
#include "sql/db/tsql/InsertRun.h"
#include "sql/db/tsql/Lexer.h"

namespace kestal::db::postgres {
namespace {

using ResultPtr = std::unique_ptr<PGresult, decltype(&PQclear)>;

constexpr const char kSavepoint[] = "kestal_statement";

// Plain writes of a batch are sent in runs of about this many bytes: the
// server works through one run while the next is rewritten.
constexpr size_t kRunBytes = 64 * 1024;

std::unique_ptr<EngineSession> OpenPostgres(const ConnectionString& connection,
                                            long timeout_seconds) {
  return std::make_unique<Session>(connection, timeout_seconds);
}

const bool kRegistered =
    RegisterEngine("PostgreSQL", &OpenPostgres) && RegisterEngine("Postgres", &OpenPostgres);

// Runs a command that yields no rows; raises the mapped error on failure.
void Command(PGconn* conn, const char* sql) {
  ResultPtr r(PQexec(conn, sql), &PQclear);
  if (!r || PQresultStatus(r.get()) != PGRES_COMMAND_OK) RaiseFailure(conn, r.get());
}

// Ends a COPY the server has started on conn, so that the connection can go
// on with the next result.
void EndCopy(PGconn* conn, ExecStatusType state) {
  if (state == PGRES_COPY_IN || state == PGRES_COPY_BOTH) {
    PQputCopyEnd(conn, "not supported");
  }
  if (state == PGRES_COPY_OUT || state == PGRES_COPY_BOTH) {
    char* buffer = nullptr;
    while (PQgetCopyData(conn, &buffer, 0) > 0) PQfreemem(buffer);
  }
}

// The row count of a result when it is an INSERT, UPDATE, DELETE or MERGE;
// -1 otherwise.
long long ChangedRows(PGresult* result) {
  const char* status = PQcmdStatus(result);
  for (const char* word : {"INSERT", "UPDATE", "DELETE", "MERGE"}) {
    if (status != nullptr && strncmp(status, word, strlen(word)) == 0) {
      return atoll(PQcmdTuples(result));
    }
  }
  return -1;
}

// Rows of a result from which its freed heap pages are handed back.
constexpr int kTrimRows = 65536;

// Collects the results of the query sent on conn: the rows of the last set,
// each row packed as it arrives (single-row mode) or a whole result at once;
// the first failure raised after the connection is drained, so that it is
// ready for the next command. A set cut short by a failure, on the server
// or here (out of memory while packing), is dropped whole: the caller sees
// the failure and no rows.
std::unique_ptr<ResultTable> Collect(PGconn* conn, long limit, long long* changed = nullptr) {
  std::unique_ptr<ResultTable> rows;
  ResultReader reader(limit);
  bool trim = false;
  HRESULT status = 0;
  FailureKind kind = FailureKind::kUnknown;
  std::string failure;
  std::exception_ptr local;  // a failure of this side, raised after the drain
  while (PGresult* raw = PQgetResult(conn)) {
    ResultPtr r(raw, &PQclear);
    const ExecStatusType st = PQresultStatus(raw);
    if (st == PGRES_SINGLE_TUPLE || st == PGRES_TUPLES_OK) {
      if (status != 0 || local) continue;
      try {
        reader.Add(raw);
      } catch (...) {
        local = std::current_exception();
        reader.Drop();
        rows.reset();
        continue;
      }
      if (st == PGRES_TUPLES_OK) {
        trim = trim || PQntuples(raw) >= kTrimRows;  // a whole result
        rows = reader.Take();
      }
    } else if (st == PGRES_COPY_IN || st == PGRES_COPY_OUT || st == PGRES_COPY_BOTH) {
      // A COPY written by the caller: end it at once rather than wait for
      // data that never comes.
      EndCopy(conn, st);
      if (status == 0) {
        status = kStatementError;
        kind = FailureKind::kStatement;
        failure = "COPY to or from the client is not supported in statement text";
      }
    } else if (st == PGRES_COMMAND_OK && changed != nullptr && ChangedRows(raw) >= 0) {
      *changed = ChangedRows(raw);
    } else if (st != PGRES_COMMAND_OK && st != PGRES_EMPTY_QUERY && status == 0) {
      status = StatusOf(conn, raw);
      kind = KindOf(conn, raw);
      failure = DescriptionOf(conn, raw);
      // The rows of a set cut short, and of the sets before it, go now.
      reader.Drop();
      rows.reset();
    }
  }
  // A whole result read without single-row mode lies in many small heap
  // blocks that the heap would keep resident after PQclear; hand their
  // pages back, so that only the packed rows stay.
  if (trim) malloc_trim(0);
  if (status != 0) throw _com_error(status, CString(failure), kind);
  if (local) std::rethrow_exception(local);
  if (PQstatus(conn) == CONNECTION_BAD) RaiseFailure(conn, nullptr);
  return rows;
}

// Sends text and collects its results; with row_by_row its sets are read in
// single-row mode.
std::unique_ptr<ResultTable> SendAndCollect(PGconn* conn, const std::string& text, long limit,
                                            long long* changed, bool row_by_row) {
  if (PQsendQuery(conn, text.c_str()) != 1) RaiseFailure(conn, nullptr);
  // Cannot fail right after a successful send; were it refused, the query
  // still runs and its results come whole.
  if (row_by_row) PQsetSingleRowMode(conn);
  return Collect(conn, limit, changed);
}

// The statements as one query text.
std::string Joined(const std::vector<std::string>& statements) {
  size_t size = 0;
  for (const std::string& sql : statements) size += sql.size() + 2;
  std::string text;
  text.reserve(size);
  for (const std::string& sql : statements) {
    if (!text.empty()) text += ";\n";  // a newline ends a trailing -- comment
    text += sql;
  }
  return text;
}

// The statements as Joined writes them, but with each stretch of plain
// inserts of one head written as one multi-row insert (InsertRun.h): the
// server plans and runs one statement instead of one per row. When the last
// statement went into such an insert with others (which reports the rows of
// all of them), *last_rows and *joined_rows receive its rows and the joined
// insert's; else both are -1.
std::string JoinedInserts(const std::vector<std::string>& statements, long long* last_rows,
                          long long* joined_rows) {
  std::vector<std::string> pieces;
  *last_rows = *joined_rows = -1;
  for (tsql::JoinedPiece& piece : tsql::JoinPlainInserts(statements)) {
    // Only the last piece counts: it ends the query.
    *last_rows = *joined_rows = -1;
    if (piece.statement_rows.size() > 1) {
      *last_rows = piece.statement_rows.back();
      *joined_rows = 0;
      for (long long n : piece.statement_rows) *joined_rows += n;
    }
    pieces.push_back(std::move(piece.sql));
  }
  return Joined(pieces);
}

// The session's own functions, named by the dialect for T-SQL's + and -,
// LEFT, RIGHT, CHARINDEX and DATEADD's range. They live in pg_temp, so they
// leave the host's database untouched and go with the session. Overloads
// choose by the operands' types as T-SQL's precedence does: text with text
// concatenates, text next to a number converts to that number's type (blank
// text is 0 for the integers), numbers add as the server adds them. No
// text - text, as in T-SQL. Errors carry SQL Server's messages.
constexpr const char kSessionFunctions[] = R"sql(
create or replace function pg_temp.kestal_fail(p_message text, p_state text, p_model anyelement)
  returns anyelement volatile language plpgsql
  as $f$ begin raise exception using message = p_message, errcode = p_state; end $f$;
create or replace function pg_temp.kestal_int(t text) returns bigint immutable language sql
  as $f$ select cast(case when t ~ '^\s*$' then '0' else t end as bigint) $f$;
create or replace function pg_temp.kestal_add(a text, b text) returns text
  immutable language sql as $f$ select a || b $f$;
create or replace function pg_temp.kestal_datetime(v timestamp) returns timestamp
  stable language sql as $f$ select case when v < timestamp '1753-01-01'
    or v >= timestamp '10000-01-01' then pg_temp.kestal_fail(
    'Adding a value to a ''datetime'' column caused an overflow.', '22008', v) else v end $f$;
create or replace function pg_temp.kestal_left(s anycompatible, n integer) returns text
  stable language sql as $f$ select case when n < 0 then pg_temp.kestal_fail(
    'Invalid length parameter passed to the left function.', '22023', cast(null as text))
    else left(cast(s as text), n) end $f$;
create or replace function pg_temp.kestal_right(s anycompatible, n integer) returns text
  stable language sql as $f$ select case when n < 0 then pg_temp.kestal_fail(
    'Invalid length parameter passed to the right function.', '22023', cast(null as text))
    else right(cast(s as text), n) end $f$;
create or replace function pg_temp.kestal_charindex(find text, s text) returns integer
  immutable language sql
  as $f$ select case when find = '' then 0 else strpos(lower(s), lower(find)) end $f$;
create or replace function pg_temp.kestal_charindex(find text, s text, start integer)
  returns integer immutable language sql as $f$ select case when find = '' then 0
    when s is null or start is null then null
    else coalesce(nullif(strpos(substr(lower(s), greatest(start, 1)), lower(find)), 0)
      + greatest(start, 1) - 1, 0) end $f$;
do $d$
declare
  number text;
  op record;
begin
  foreach number in array array['smallint', 'integer', 'bigint', 'numeric', 'double precision']
  loop
    for op in select * from (values ('add', '+'), ('sub', '-')) as o(name, sign) loop
      execute format('create or replace function pg_temp.kestal_%s(a %s, b %s) returns %s '
                     'immutable language sql as $f$ select a %s b $f$',
                     op.name, number, number, number, op.sign);
      continue when number = 'smallint';
      execute format('create or replace function pg_temp.kestal_%s(a text, b %s) returns %s '
                     'immutable language sql as $f$ select cast(%s as %s) %s b $f$',
                     op.name, number, number,
                     case when number in ('integer', 'bigint') then 'pg_temp.kestal_int(a)'
                          else 'a' end, number, op.sign);
      execute format('create or replace function pg_temp.kestal_%s(a %s, b text) returns %s '
                     'immutable language sql as $f$ select a %s cast(%s as %s) $f$',
                     op.name, number, number, op.sign,
                     case when number in ('integer', 'bigint') then 'pg_temp.kestal_int(b)'
                          else 'b' end, number);
    end loop;
  end loop;
end $d$;
)sql";

// True when sql calls one of the session's functions.
bool UsesSessionFunctions(const std::string& sql) {
  return sql.find("pg_temp.kestal_") != std::string::npos;
}

// True when sql is a query or a data statement, whose use of the session's
// functions ends with it. A definition (a view, a default, a check) would
// keep a reference to them, and the server drops such objects, or the
// parts of them that use the functions, when the session ends.
bool IsQueryOrDataStatement(const std::string& sql) {
  size_t i = sql.find_first_not_of(" \t\r\n(");
  if (i == std::string::npos) return false;
  std::string word;
  for (; i < sql.size() && std::isalpha(static_cast<unsigned char>(sql[i])); ++i) {
    word += static_cast<char>(std::tolower(static_cast<unsigned char>(sql[i])));
  }
  return word == "select" || word == "insert" || word == "update" || word == "delete" ||
         word == "with" || word == "values";
}

// True when sql is a plain INSERT, UPDATE or DELETE that needs nothing of the
// session's own: such statements of a batch can share one query, since none
// of them returns rows, controls the transaction or must run outside one.
bool IsPlainWrite(const std::string& sql) {
  size_t i = sql.find_first_not_of(" \t\r\n");
  if (i == std::string::npos) return false;
  size_t end = i;
  while (end < sql.size() && std::isalpha(static_cast<unsigned char>(sql[end]))) ++end;
  if (end - i != 6) return false;
  std::string word = sql.substr(i, 6);
  for (char& c : word) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return (word == "insert" || word == "update" || word == "delete") && !UsesSessionFunctions(sql);
}

// LOCK TABLE for the tables a statement reads under a locking hint, each
// named as stored when schema knows it.
std::string LockPrefix(const std::vector<std::string>& locked, tsql::Schema* schema) {
  if (locked.empty()) return std::string();
  std::string text = "lock table ";
  for (size_t i = 0; i < locked.size(); ++i) {
    if (i > 0) text += ", ";
    const std::string name = TablePart(locked[i]);
    const tsql::TableShape* shape = schema->Table(name);
    text += shape ? PostgresDialect().quote_stored_name(shape->name) : QuoteName(name);
  }
  return text + " in share row exclusive mode; ";
}

}  // namespace

const char* SessionFunctionsSql() {
  return kSessionFunctions;
}

Session::Session(const ConnectionString& connection, long timeout_seconds) {
  (void)kRegistered;
  const ConnectParams params = BuildConnectParams(connection, timeout_seconds);
  std::vector<const char*> keys;
  std::vector<const char*> values;
  for (size_t i = 0; i < params.keys.size(); ++i) {
    keys.push_back(params.keys[i].c_str());
    values.push_back(params.values[i].c_str());
  }
  keys.push_back(nullptr);
  values.push_back(nullptr);
  silent_seconds_ = SilentLinkSecondsOf(CommandTimeoutOf(connection));
  server_ = params.Get("host") + ":" + params.Get("port") + "/" + params.Get("dbname");
  conn_ = PQconnectdbParams(keys.data(), values.data(), 0);
  if (conn_ == nullptr || PQstatus(conn_) != CONNECTION_OK) {
    PGconn* failed = conn_;
    conn_ = nullptr;
    try {
      RaiseConnectFailure(failed);
    } catch (...) {
      PQfinish(failed);
      throw;
    }
  }
  schema_ = std::make_unique<CatalogSchema>(conn_, [this] { return flight_.empty(); });
  // Server notices (implicit commits, truncations) are not errors here.
  PQsetNoticeProcessor(
      conn_, [](void*, const char*) {}, nullptr);
  try {
    // Before anything is read through this session, sessions of this
    // process that lost their link to this server must be gone from it.
    Watched([&] {
      const long fence_seconds = timeout_seconds > 0 ? timeout_seconds : 8;
      FenceLost(conn_, server_, fence_seconds);
      backend_ = ReadBackendId(conn_);
    });
  } catch (...) {
    PQfinish(conn_);
    conn_ = nullptr;
    throw;
  }
}

Session::~Session() {
  if (lost_ || PQstatus(conn_) != CONNECTION_OK) RememberLost(server_, backend_);
  PQfinish(conn_);
}

template <class Body>
auto Session::Watched(Body body) -> decltype(body()) {
  LinkWatch watch(conn_, silent_seconds_);
  try {
    return body();
  } catch (const _com_error& e) {
    if (watch.Fired()) {
      lost_ = true;
      throw _com_error(kConnectionError,
                       CString("no answer from the server for " + std::to_string(silent_seconds_) +
                               " s: the link is silent, the connection was dropped"),
                       FailureKind::kLink);
    }
    if (e.Kind() == FailureKind::kLink) lost_ = true;
    throw;
  }
}

std::unique_ptr<ResultTable> Session::Execute(const std::string& tsql) {
  return Watched([&] {
    try {
      return ExecuteBatch(tsql);
    } catch (const _com_error& e) {
      DropFlight();
      // A statement may have failed on a table or column changed since its
      // shape was read (unknown table, an operator for the old type).
      if (e.Error() == kStatementError) schema_->Invalidate();
      throw;
    } catch (...) {
      // Every failure the batch expects waits for its run in flight; anything
      // else (out of memory) must still leave the connection free.
      DropFlight();
      throw;
    }
  });
}

void Session::DropFlight() {
  if (flight_.empty()) return;
  flight_.clear();
  while (PGresult* r = PQgetResult(conn_)) PQclear(r);
}

std::unique_ptr<ResultTable> Session::ExecuteBatch(const std::string& tsql) {
  changed_ = -1;
  std::unique_ptr<ResultTable> last;
  auto keep = [&last](std::unique_ptr<ResultTable> rows) {
    if (rows) last = std::move(rows);
  };
  // Plain writes rewritten but not yet sent; they go as one query when they
  // fill a run, when the batch ends or when another kind of statement comes.
  std::vector<std::string> run;
  size_t run_bytes = 0;
  for (const std::string& text : tsql::SplitBatch(tsql)) {
    tsql::Statement statement;
    try {
      // The statements before this one have run, or run now, below, when
      // this one faults or cannot be rewritten; a fault ends the batch.
      CheckFault(FaultPoint::kBatchStatement, CString(FromUtf8(text)));
      schema_->NewStatement();
      statement = tsql::Rewrite(text, PostgresDialect(), schema_.get());
      if (statement.kind == tsql::StatementKind::kSql) {
        statement.sql = RewriteCatalog(statement.sql);
      }
    } catch (...) {
      keep(RunPlainWrites(&run));
      throw;
    }
    if (statement.kind == tsql::StatementKind::kSql && statement.locked_tables.empty() &&
        IsPlainWrite(statement.sql)) {
      run_bytes += statement.sql.size();
      run.push_back(std::move(statement.sql));
      if (run_bytes >= kRunBytes && run.size() > 1) {
        keep(FinishPlainWrites());
        LaunchPlainWrites(&run);
        run_bytes = 0;
      }
      continue;
    }
    keep(RunPlainWrites(&run));
    run_bytes = 0;
    keep(statement.kind == tsql::StatementKind::kSql
             ? RunSql(statement.sql, statement.locked_tables)
             : Run(statement));
    // Tables made, changed or dropped: read the shapes again.
    if (statement.kind == tsql::StatementKind::kSql && !IsQueryOrDataStatement(statement.sql)) {
      schema_->Invalidate();
    }
  }
  keep(RunPlainWrites(&run));
  return last;
}

std::unique_ptr<ResultTable> Session::RunPlainWrites(std::vector<std::string>* run) {
  std::unique_ptr<ResultTable> rows = FinishPlainWrites();
  std::unique_ptr<ResultTable> more;
  if (run->size() == 1) {
    const std::string sql = std::move(run->front());
    run->clear();
    more = RunSql(sql, {});
  } else if (!run->empty()) {
    LaunchPlainWrites(run);
    more = FinishPlainWrites();
  }
  return more ? std::move(more) : std::move(rows);
}

void Session::LaunchPlainWrites(std::vector<std::string>* run) {
  flight_.swap(*run);
  run->clear();
  // Outside a host transaction the query is one implicit transaction, so a
  // failure leaves none of its statements behind; inside one, its savepoint
  // is rolled back to.
  const std::string joined = JoinedInserts(flight_, &flight_last_rows_, &flight_joined_rows_);
  const std::string text = in_transaction_ ? std::string("savepoint ") + kSavepoint + "; " +
                                                 joined + "; release savepoint " + kSavepoint
                                           : joined;
  if (PQsendQuery(conn_, text.c_str()) != 1) {
    flight_.clear();
    RaiseFailure(conn_, nullptr);
  }
}

std::unique_ptr<ResultTable> Session::FinishPlainWrites() {
  if (flight_.empty()) return nullptr;
  std::vector<std::string> statements;
  statements.swap(flight_);
  try {
    std::unique_ptr<ResultTable> rows = Collect(conn_, row_limit_, &changed_);
    if (flight_last_rows_ >= 0 && changed_ >= 0) {
      changed_ = tsql::LastStatementChanged(changed_, flight_last_rows_, flight_joined_rows_);
    }
    return rows;
  } catch (const _com_error&) {
    // A lost link leaves the outcome unknown: report it, run nothing again.
    if (PQstatus(conn_) != CONNECTION_OK) throw;
    if (in_transaction_) RollbackToSavepoint();
  }
  // Nothing of the run stayed: run it again one statement at a time, so that
  // the statements before the failing one stay and the failing one reports
  // its own error, as when each is sent alone.
  std::unique_ptr<ResultTable> last;
  for (const std::string& sql : statements) {
    std::unique_ptr<ResultTable> rows = RunSql(sql, {});
    if (rows) last = std::move(rows);
  }
  return last;
}

std::unique_ptr<ResultTable> Session::Run(const tsql::Statement& statement) {
  switch (statement.kind) {
    case tsql::StatementKind::kNoop:
      return nullptr;
    case tsql::StatementKind::kSetRowcount:
      row_limit_ = statement.rowcount > 0 ? statement.rowcount : 0;
      return nullptr;
    case tsql::StatementKind::kBulkInsert:
      Guarded([&] { BulkLoad(conn_, statement.bulk, &bulk_memo_); });
      return nullptr;
    case tsql::StatementKind::kReseed:
      Guarded([&] { Reseed(conn_, statement.table, statement.seed); });
      return nullptr;
    case tsql::StatementKind::kSql:
      break;
  }
  return RunSql(RewriteCatalog(statement.sql), statement.locked_tables);
}

std::unique_ptr<ResultTable> Session::RunSql(const std::string& sql,
                                             const std::vector<std::string>& locked) {
  // The session's functions are made on first use, in the statement's own
  // round trip. Made inside a host transaction they could be rolled back
  // with it, so only a statement outside one marks them as there.
  const bool uses_functions = UsesSessionFunctions(sql);
  if (uses_functions && !IsQueryOrDataStatement(sql)) {
    throw _com_error(kNotSupported,
                     CString("T-SQL construct not supported on PostgreSQL: text +, binary + or -, "
                             "LEFT, RIGHT, CHARINDEX or DATEADD outside a query or data "
                             "statement"));
  }
  const bool make_functions = !functions_made_ && uses_functions;
  // A read that may hold a whole table comes row by row, so that libpq holds
  // no copy of it beside the packed rows.
  const bool row_by_row = ReadsRowByRow(sql);
  const std::string body = (make_functions ? std::string(kSessionFunctions) : std::string()) +
                           LockPrefix(locked, schema_.get()) + sql;
  if (!in_transaction_) {
    // Several statements in one query string run as one implicit
    // transaction, so a LOCK TABLE in front holds until the statement ends.
    std::unique_ptr<ResultTable> rows =
        SendAndCollect(conn_, body, row_limit_, &changed_, row_by_row);
    if (make_functions) functions_made_ = true;
    return rows;
  }
  // One round trip: the savepoint, the statement and its release.
  const std::string point = kSavepoint;
  try {
    return SendAndCollect(conn_,
                          "savepoint " + point + "; " + body + "; release savepoint " + point,
                          row_limit_, &changed_, row_by_row);
  } catch (const _com_error&) {
    RollbackToSavepoint();
    throw;
  }
}

void Session::RollbackToSavepoint() {
  if (PQstatus(conn_) != CONNECTION_OK) return;
  const std::string point = kSavepoint;
  ResultPtr undo(
      PQexec(conn_, ("rollback to savepoint " + point + "; release savepoint " + point).c_str()),
      &PQclear);
}

void Session::Guarded(const std::function<void()>& work) {
  if (!in_transaction_) {
    work();
    return;
  }
  Command(conn_, (std::string("savepoint ") + kSavepoint).c_str());
  try {
    work();
  } catch (const _com_error&) {
    RollbackToSavepoint();
    throw;
  }
  Command(conn_, (std::string("release savepoint ") + kSavepoint).c_str());
}

void Session::Begin() {
  if (in_transaction_) {
    throw _com_error(kTransactionError, CString("a transaction is already open"));
  }
  Watched([&] { Command(conn_, "begin"); });
  in_transaction_ = true;
}

void Session::Commit() {
  if (!in_transaction_) {
    throw _com_error(kTransactionError, CString("no transaction is open"));
  }
  in_transaction_ = false;
  Watched([&] {
    ResultPtr r(PQexec(conn_, "commit"), &PQclear);
    if (!r || PQresultStatus(r.get()) != PGRES_COMMAND_OK) RaiseFailure(conn_, r.get());
    // COMMIT of a failed transaction answers ROLLBACK instead of an error.
    if (std::strcmp(PQcmdStatus(r.get()), "ROLLBACK") == 0) {
      throw _com_error(kStatementError, CString("the transaction was rolled back"));
    }
  });
}

}  // namespace kestal::db::postgres
