#include "sql/db/postgres/Session.h"

#include <cstring>

#include "sql/db/postgres/BulkLoad.h"
#include "sql/db/postgres/Catalog.h"
#include "sql/db/postgres/Conninfo.h"
#include "sql/db/postgres/Dialect.h"
#include "sql/db/postgres/Errors.h"
#include "sql/db/postgres/Ident.h"
#include "sql/db/postgres/Results.h"
#include "sql/db/tsql/Lexer.h"

namespace kestal::db::postgres {
namespace {

using ResultPtr = std::unique_ptr<PGresult, decltype(&PQclear)>;

constexpr const char kSavepoint[] = "kestal_statement";

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

// Sends text (one or more statements) and collects the results: the rows of
// the last result with rows, the first failure raised after the connection is
// drained, so that it is ready for the next command.
std::unique_ptr<ResultTable> SendAndCollect(PGconn* conn, const std::string& text, long limit) {
  if (PQsendQuery(conn, text.c_str()) != 1) RaiseFailure(conn, nullptr);
  std::unique_ptr<ResultTable> rows;
  HRESULT status = 0;
  std::string failure;
  while (PGresult* raw = PQgetResult(conn)) {
    ResultPtr r(raw, &PQclear);
    const ExecStatusType st = PQresultStatus(raw);
    if (st == PGRES_TUPLES_OK) {
      if (status == 0) rows = ToResultTable(raw, limit);
    } else if (st == PGRES_COPY_IN || st == PGRES_COPY_OUT || st == PGRES_COPY_BOTH) {
      // A COPY written by the caller: end it at once rather than wait for
      // data that never comes.
      EndCopy(conn, st);
      if (status == 0) {
        status = kStatementError;
        failure = "COPY to or from the client is not supported in statement text";
      }
    } else if (st != PGRES_COMMAND_OK && st != PGRES_EMPTY_QUERY && status == 0) {
      status = StatusOf(conn, raw);
      failure = DescriptionOf(conn, raw);
    }
  }
  if (status != 0) throw _com_error(status, CString(failure));
  if (PQstatus(conn) == CONNECTION_BAD) RaiseFailure(conn, nullptr);
  return rows;
}

std::string LockPrefix(const std::vector<std::string>& locked) {
  if (locked.empty()) return std::string();
  std::string text = "lock table ";
  for (size_t i = 0; i < locked.size(); ++i) {
    if (i > 0) text += ", ";
    text += QuoteName(TablePart(locked[i]));
  }
  return text + " in share row exclusive mode; ";
}

}  // namespace

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
  // Server notices (implicit commits, truncations) are not errors here.
  PQsetNoticeProcessor(
      conn_, [](void*, const char*) {}, nullptr);
}

Session::~Session() {
  PQfinish(conn_);
}

std::unique_ptr<ResultTable> Session::Execute(const std::string& tsql) {
  std::unique_ptr<ResultTable> last;
  for (const std::string& text : tsql::SplitBatch(tsql)) {
    const tsql::Statement statement = tsql::Rewrite(text, PostgresDialect());
    std::unique_ptr<ResultTable> rows = Run(statement);
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
      Guarded([&] { BulkLoad(conn_, statement.bulk); });
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
  const std::string body = LockPrefix(locked) + sql;
  if (!in_transaction_) {
    // Several statements in one query string run as one implicit
    // transaction, so a LOCK TABLE in front holds until the statement ends.
    return SendAndCollect(conn_, body, row_limit_);
  }
  // One round trip: the savepoint, the statement and its release.
  const std::string point = kSavepoint;
  try {
    return SendAndCollect(
        conn_, "savepoint " + point + "; " + body + "; release savepoint " + point, row_limit_);
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
  Command(conn_, "begin");
  in_transaction_ = true;
}

void Session::Commit() {
  if (!in_transaction_) {
    throw _com_error(kTransactionError, CString("no transaction is open"));
  }
  in_transaction_ = false;
  ResultPtr r(PQexec(conn_, "commit"), &PQclear);
  if (!r || PQresultStatus(r.get()) != PGRES_COMMAND_OK) RaiseFailure(conn_, r.get());
  // COMMIT of a failed transaction answers ROLLBACK instead of an error.
  if (std::strcmp(PQcmdStatus(r.get()), "ROLLBACK") == 0) {
    throw _com_error(kStatementError, CString("the transaction was rolled back"));
  }
}

}  // namespace kestal::db::postgres
