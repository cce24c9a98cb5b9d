// One bridge per target table: an exclusive claim on the table, taken in the
// database (or beside its file) so that it holds across machines, kept for as
// long as the bridge runs and released with the bridge's connection or
// process, also when the bridge is killed.
//   PostgreSQL: pg_try_advisory_lock keyed by the table name, held by a
//               connection of the claim's own (the bridge's connection may be
//               reopened after a failure, which would drop a lock it held).
//   SQL Server: sp_getapplock on "kestal bridge TABLE" with a session owner,
//               on a connection of the claim's own likewise.
//   SQLite:     flock on "DATABASE.bridge-TABLE.lock" beside the database file.
// Other providers cannot be claimed; the bridge says so once and runs.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "sql/SQLOperate.h"

namespace kestal::tool {

class TableClaim {
 public:
  // Takes the claim on table of the database named by connect, without
  // waiting. Throws ClaimError ("another bridge is copying into TABLE") when
  // another bridge holds it, ToolError when the claim cannot be taken.
  // note receives "the table cannot be claimed on this engine" for providers
  // without a claim.
  TableClaim(const std::string& connect, const std::string& table,
             const std::function<void(const std::string&)>& note);
  ~TableClaim();
  TableClaim(const TableClaim&) = delete;
  TableClaim& operator=(const TableClaim&) = delete;

  // Makes sure the claim is still held: a claim connection lost with the
  // database is opened again and the claim taken again. Returns false while
  // the database cannot be reached. Throws ClaimError when another bridge
  // took the table in the meantime.
  bool Keep();

 private:
  enum class Kind { kNone, kPostgres, kSqlServer, kSqlite };
  // Opens the claim connection and takes the lock; false when another
  // bridge holds it. _com_error when the database cannot be reached.
  bool TakeOnServer();

  Kind kind_ = Kind::kNone;
  std::string connect_;
  std::string table_;
  _ConnectionPtr connection_;
  int fd_ = -1;
};

// The key of table's advisory lock: a 64-bit hash of the lower-cased name,
// the same in every bridge.
long long ClaimKey(const std::string& table);

}  // namespace kestal::tool
