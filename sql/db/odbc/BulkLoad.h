// BULK INSERT through ODBC. SQL Server's own BULK INSERT reads a file on the
// server's disk, which is never where a Linux client wrote it, so the client
// streams its file instead:
//   SQL Server   the driver's bulk-copy API (bcp_init, bcp_bind,
//                bcp_sendrow, bcp_batch, bcp_done), all rows or none;
//   PostgreSQL   parameter arrays, in one transaction;
//   SQLite       the native engine's loader, run on the driver's connection
//                by the extension this library gives SQLite (one transaction).
#pragma once

#include <sql.h>
#include <sqlext.h>

#include <string>

#include "sql/db/odbc/Dialect.h"
#include "sql/db/odbc/Ident.h"
#include "sql/db/odbc/Results.h"
#include "sql/db/tsql/Rewriter.h"

namespace kestal::db::odbc {

// What the loader needs of the session.
struct BulkTarget {
  Server server;
  SQLHDBC dbc;
  std::string driver;  // SQL_DRIVER_NAME, for messages
  TextCodec codec;
  bool in_transaction;  // a host transaction is open (no commit of our own)
  SqlRunner run;        // one statement as the session runs it
  SqlRunner raw;        // text exactly as given, no savepoint of the session's
};

// Loads request.path into request.table as the native engines do (fields
// at the field terminator, rows at CR LF or LF or the row terminator, a
// trailing empty field dropped, empty fields NULL, identity values only with
// KEEPIDENTITY, text converted from the process code page). All rows or
// none. Raises _com_error(kStatementError) for a bad file or data, naming the
// line; kNotSupported for a driver without bulk copy, naming the driver.
void BulkLoad(const BulkTarget& target, const tsql::BulkInsertRequest& request);

}  // namespace kestal::db::odbc
