// BULK INSERT on PostgreSQL: the client reads the character file it wrote
// and streams it through COPY ... FROM STDIN, so the server needs no access
// to the client's files and no right to read server files.
#pragma once

#include <libpq-fe.h>

#include <string>
#include <vector>

#include "sql/db/tsql/Rewriter.h"

namespace kestal::db::postgres {

// Loads request.path into request.table. Fields are split at the field
// terminator and rows at the row terminator (CR LF or LF by default); a line
// that ends with the field terminator has that empty last field dropped. The
// file's fields map to all columns of the table, or, when there are fewer, to
// the columns other than binary/rowversion ones (type 37), in table order.
// Identity columns take the file's value only with KEEPIDENTITY. An empty
// field loads NULL. Text is converted from the process code page to UTF-8.
// Raises _com_error(kStatementError) for a missing file, unknown table or
// rows that do not fit, and the mapped error when the server refuses the data.
// What the bulk loads of one connection keep between loads; owned by the
// connection's session, empty for a new connection.
struct BulkLoadMemo {
  // The table-columns query is prepared on the connection: a load prepares
  // it once, so that later loads skip its planning.
  bool prepared = false;
  // The last load's table as named in the request, and what the catalog said
  // of it then (the key of the one-round-trip start below); "" when none.
  std::string table;
  std::vector<std::string> catalog;  // the catalog's answer then, row by row
};

// Loads request.path into request.table (above). Outside a transaction
// block, a load into the table of the last load asks the catalog and starts
// its COPY in one round trip: the COPY is built from what the catalog said
// last time and goes on only when the catalog says the same now; otherwise it
// is cancelled before any row is sent, and the load starts again from a fresh
// look at the catalog.
void BulkLoad(PGconn* conn, const tsql::BulkInsertRequest& request, BulkLoadMemo* memo);

}  // namespace kestal::db::postgres
