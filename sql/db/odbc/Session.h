// One live ODBC connection behind an access-layer Connection. Statements go
// to the server in its own dialect (Dialect.h): whole batches where the
// driver takes them, every result consumed with SQLMoreResults and each
// statement's row count kept; a failing statement reports its own error
// while the statements before it stay done, as on SQL Server. The host
// transaction is autocommit off and SQLEndTran.
#pragma once

#include <sql.h>
#include <sqlext.h>

#include <memory>
#include <string>
#include <vector>

#include "sql/db/Engine.h"
#include "sql/db/odbc/Conninfo.h"
#include "sql/db/odbc/Dialect.h"
#include "sql/db/odbc/Results.h"
#include "sql/db/postgres/Catalog.h"
#include "sql/db/sqlite/Catalog.h"
#include "sql/db/tsql/InsertJoin.h"

namespace kestal::db::odbc {

class Session : public EngineSession {
 public:
  // Connects within the login time-out (Conninfo.h); raises
  // _com_error(kConnectionError) when the driver cannot reach the server,
  // the server has no dialect here, or the login is refused.
  Session(const ConnectionString& connection, long timeout_seconds);
  ~Session() override;
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  std::unique_ptr<ResultTable> Execute(const std::string& tsql) override;
  void Begin() override;
  void Commit() override;
  bool InTransaction() const override { return in_transaction_; }
  // Rows the last INSERT, UPDATE or DELETE of the last Execute changed (-1
  // when none ran, the driver gave no count, or on SQL Server, whose batches
  // go whole).
  long long RowsChanged() const override { return changed_; }

  Server server() const { return server_; }
  // The row count of each statement of the last batch that ran on the server
  // (-1 where the driver gives none), in order.
  const std::vector<long>& RowCounts() const { return row_counts_; }
  // The texts handed to SQLExecDirect by the last Execute, in order (tests
  // read what reached the driver).
  const std::vector<std::string>& SentTexts() const { return sent_; }
  SQLHDBC Raw() const { return dbc_; }

 private:
  // Connects with text; raises kConnectionError with the driver's
  // diagnostics (password masked) when it refuses.
  void Connect(const std::string& text, const OdbcConnect& params);
  std::unique_ptr<ResultTable> RunRequest(const tsql::Statement& statement);
  // Runs the parts of a SQL Server batch plan in order.
  std::unique_ptr<ResultTable> RunPlan(const std::vector<tsql::Statement>& plan);
  // Sends text (one statement or several) and reads every result; raises
  // the first failure after the results are drained. Returns the rows of the
  // last result with rows.
  std::unique_ptr<ResultTable> Send(const std::string& text);
  // Runs the statements of a run of plain writes together, or one by one
  // when together they failed (so that the ones before the failure stay).
  std::unique_ptr<ResultTable> SendRun(const std::vector<std::string>& run);
  // Replaces the counts from index counted on, one per piece as sent, by one
  // per statement of the pieces (tsql::PieceCounts).
  void SpreadCounts(const std::vector<tsql::JoinedPiece>& pieces, size_t counted);
  // Keeps the last row count as RowsChanged when sql is an INSERT, UPDATE or
  // DELETE.
  void NoteChanged(const std::string& sql);
  // One rewritten statement with what the server needs around it (session
  // functions, table locks, a savepoint in a host transaction, SQLite's
  // IMMEDIATE write transaction).
  std::unique_ptr<ResultTable> SendOne(const tsql::Statement& statement);
  // Send for "savepoint; statements; release savepoint": the row counts of
  // the savepoint commands are left out.
  std::unique_ptr<ResultTable> SendWrapped(const std::string& text);
  // Runs a command for the session itself (no rows, no row count); raises on
  // failure.
  void Command(const std::string& text);
  // Rows of a catalog query of the session's own (not among SentTexts or
  // RowCounts), as text; NULL as empty.
  std::vector<std::vector<std::string>> CatalogRows(const std::string& sql);
  // Makes the rewriter's view of the server's tables, over the native
  // engine's catalog queries (PostgreSQL, SQLite).
  void MakeSchema(const std::string& scope);
  // The table of a locking hint as the server stores it.
  std::string LockName(const std::string& table);
  std::string LockPrefix(const std::vector<std::string>& locked);
  // Raises the mapped error for a failure on handle.
  [[noreturn]] void Fail(SQLSMALLINT type, SQLHANDLE handle, const std::string& operation);
  bool LinkDead();
  // Frees every handle (rolling back an open host transaction); idempotent.
  void Release();

  SQLHENV env_ = SQL_NULL_HENV;
  SQLHDBC dbc_ = SQL_NULL_HDBC;
  SQLHSTMT stmt_ = SQL_NULL_HSTMT;
  bool connected_ = false;
  Server server_ = Server::kSqlServer;
  TextCodec codec_;
  std::string password_;    // masked in every message
  long query_timeout_ = 0;  // seconds per statement (SQL Server)
  bool in_transaction_ = false;
  // The driver reads results in blocks (SQLGetData on a block cursor).
  bool block_fetch_ = false;
  long row_limit_ = 0;           // "set rowcount" kept by the session (PostgreSQL, SQLite)
  bool functions_made_ = false;  // PostgreSQL: the pg_temp functions exist
  std::vector<long> row_counts_;
  long long changed_ = -1;  // RowsChanged of the last Execute
  std::vector<std::string> sent_;
  // The rewriter's view of the tables (one of the two, by server_).
  std::unique_ptr<postgres::CatalogSchema> pg_schema_;
  std::unique_ptr<sqlite::CatalogSchema> sqlite_schema_;
};

}  // namespace kestal::db::odbc
