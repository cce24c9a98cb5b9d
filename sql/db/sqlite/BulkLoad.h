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
// With a cache and the schema's version as of this statement (the session's
// CatalogSchema::Generation; -1 when unknown), the catalog is read only when
// the schema has changed since the last load (or another table is loaded).
class BulkLoadCache;
void BulkLoad(sqlite3* db, const tsql::BulkInsertRequest& request, BulkLoadCache* cache = nullptr,
              long long schema_version = -1);

// What a session keeps from one load to the next: the plan of the table
// last loaded, with the schema version it was read at. Owned by the
// session.
class BulkLoadCache {
 public:
  struct Plan;
  BulkLoadCache();
  ~BulkLoadCache();
  BulkLoadCache(const BulkLoadCache&) = delete;
  BulkLoadCache& operator=(const BulkLoadCache&) = delete;

 private:
  friend void BulkLoad(sqlite3* db, const tsql::BulkInsertRequest& request, BulkLoadCache* cache,
                       long long schema_version);

  std::unique_ptr<Plan> plan_;
};

}  // namespace kestal::db::sqlite
