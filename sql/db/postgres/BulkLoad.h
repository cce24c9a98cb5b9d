// BULK INSERT on PostgreSQL: the client reads the character file it wrote
// and streams it through COPY ... FROM STDIN, so the server needs no access
// to the client's files and no right to read server files.
#pragma once

#include <libpq-fe.h>

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
// *columns_prepared, owned by the connection's session and false for a new
// connection, tells whether the table-columns query is prepared on conn: a
// load prepares it once, so that later loads skip its planning.
void BulkLoad(PGconn* conn, const tsql::BulkInsertRequest& request, bool* columns_prepared);

}  // namespace kestal::db::postgres
