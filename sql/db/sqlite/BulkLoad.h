// BULK INSERT on SQLite: the engine reads the character file itself and
// inserts its rows into the table in one transaction.
#pragma once

#include <sqlite3.h>

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
void BulkLoad(sqlite3* db, const tsql::BulkInsertRequest& request);

}  // namespace kestal::db::sqlite
