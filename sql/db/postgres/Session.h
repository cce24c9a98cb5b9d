// One live PostgreSQL connection behind an access-layer Connection. It runs
// T-SQL batches statement by statement through the rewriter (consecutive
// plain writes sent together as one query), keeps the
// session state SQL Server keeps and PostgreSQL does not ("set rowcount"),
// and gives every statement inside a host transaction its own savepoint, so
// that a failing statement fails alone and the transaction goes on, as on SQL
// Server.
#pragma once

#include <libpq-fe.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sql/db/Engine.h"
#include "sql/db/postgres/BulkLoad.h"
#include "sql/db/postgres/Catalog.h"
#include "sql/db/postgres/LinkWatch.h"
#include "sql/db/tsql/Rewriter.h"

namespace kestal::db::postgres {

// The SQL that makes the pg_temp functions the dialect names (kestal_add,
// kestal_left, ...) in the current session; also run by other engines that
// reach PostgreSQL (ODBC).
const char* SessionFunctionsSql();

class Session : public EngineSession {
 public:
  // Connects; raises _com_error(kConnectionError) when the server cannot be
  // reached within timeout_seconds or refuses the login.
  Session(const ConnectionString& connection, long timeout_seconds);
  ~Session() override;
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  std::unique_ptr<ResultTable> Execute(const std::string& tsql) override;
  void Begin() override;
  void Commit() override;
  bool InTransaction() const override { return in_transaction_; }
  long long RowsChanged() const override { return changed_; }

  // The libpq connection (tests read its backend pid).
  PGconn* Raw() const { return conn_; }

 private:
  // Runs the statements of tsql in order; Execute without the clean-up.
  std::unique_ptr<ResultTable> ExecuteBatch(const std::string& tsql);
  // Waits for the run in flight, if any, and forgets its outcome (never
  // throws).
  void DropFlight();
  std::unique_ptr<ResultTable> Run(const tsql::Statement& statement);
  // Finishes the run in flight, then sends the plain writes of *run
  // (emptied) and waits for them. Returns the rows of the last statement with
  // rows, or null.
  std::unique_ptr<ResultTable> RunPlainWrites(std::vector<std::string>* run);
  // Sends the plain writes of *run (emptied; two or more) as one query and
  // returns without waiting; no run may be in flight.
  void LaunchPlainWrites(std::vector<std::string>* run);
  // Waits for the run in flight, if any. When it failed on a live link, runs
  // its statements again one by one, so that the statements before the
  // failing one stay and it reports its own error.
  std::unique_ptr<ResultTable> FinishPlainWrites();
  // Sends sql (one statement) with the LOCK TABLE of locked tables in front,
  // inside a savepoint when a host transaction is open. Returns its rows, or
  // null when it yields none.
  std::unique_ptr<ResultTable> RunSql(const std::string& sql,
                                      const std::vector<std::string>& locked);
  // Runs work inside a savepoint of the host transaction (directly when none
  // is open); on failure rolls back to the savepoint and rethrows.
  void Guarded(const std::function<void()>& work);
  // Undoes a failed statement of the host transaction (never throws; a lost
  // link has ended the transaction anyway).
  void RollbackToSavepoint();

  // Runs body under the silent-link watch; a failure on a link that was cut
  // for its silence, or lost otherwise, marks the session as lost.
  template <class Body>
  auto Watched(Body body) -> decltype(body());

  PGconn* conn_ = nullptr;
  long silent_seconds_ = 0;  // a call without an answer this long is cut; 0 never
  std::string server_;       // host, port and database, for the lost-session fence
  BackendId backend_;        // this session on the server
  bool lost_ = false;        // the link was lost during a call
  bool in_transaction_ = false;
  long row_limit_ = 0;      // "set rowcount": 0 means no limit
  long long changed_ = -1;  // RowsChanged of the last Execute
  // The pg_temp functions the dialect names exist in this session.
  bool functions_made_ = false;
  // What the bulk loads on this connection keep between loads.
  BulkLoadMemo bulk_memo_;
  // The plain writes sent by LaunchPlainWrites and not yet waited for; while
  // it is not empty, the connection carries that query and nothing else.
  std::vector<std::string> flight_;
  // Rows of the last statement of flight_ and of the insert it was joined
  // into, when it went to the server joined with others; else -1
  // (JoinedInserts).
  long long flight_last_rows_ = -1;
  long long flight_joined_rows_ = -1;
  // The rewriter's view of the tables; reads the catalog only while no run
  // is in flight.
  std::unique_ptr<CatalogSchema> schema_;
};

}  // namespace kestal::db::postgres
