// BULK INSERT on SQLite: the engine reads the character file itself and
// inserts its rows into the table in one transaction.
#pragma once

#include <sqlite3.h>

#include <memory>

#include "sql/db/tsql/Rewriter.h"

namespace kestal::db::sqlite {

// Loads the file of request into its table. Lines end with CR LF or LF (or
// the given row terminator); fields are split on the field terminator; a
// line ending with the field terminator (the library's own bulk-load lines)
// has that trailing empty field dropped. Each line must then have one field
// per loadable column (every column except varbinary/timestamp ones), in
// column order; an empty field loads as NULL; integer columns must hold
// integers and numeric columns numbers; text must fit its declared length. File bytes are in the
// process code page. Without KEEPIDENTITY an identity column's field is read but the engine numbers
// the row. All rows or none: any fault rolls the load back and raises _com_error(kStatementError)
// naming the line.
// With a cache, the catalog is read only when the schema has changed since
// the last load (or another table is loaded).
class BulkLoadCache;
void BulkLoad(sqlite3* db, const tsql::BulkInsertRequest& request, BulkLoadCache* cache = nullptr);

// What a session keeps from one load to the next: the plan of the table
// last loaded, with the schema version it was read at. Owned by the
// session; must go before its connection closes (it holds a statement).
class BulkLoadCache {
 public:
  struct Plan;
  BulkLoadCache();
  ~BulkLoadCache();
  BulkLoadCache(const BulkLoadCache&) = delete;
  BulkLoadCache& operator=(const BulkLoadCache&) = delete;

 private:
  friend void BulkLoad(sqlite3* db, const tsql::BulkInsertRequest& request, BulkLoadCache* cache);
  // PRAGMA schema_version, or -1 when it cannot be read.
  long long SchemaVersion(sqlite3* db);

  std::unique_ptr<Plan> plan_;
  sqlite3_stmt* version_ = nullptr;  // prepared on first use
};

}  // namespace kestal::db::sqlite
