// BULK INSERT through ODBC (see BulkLoad.h).
#include "sql/db/odbc/BulkLoad.h"

#include "sql/db/ComError.h"
#include "sql/db/tsql/Lexer.h"

namespace kestal::db::odbc {

void BulkLoad(const BulkTarget& target, const tsql::BulkInsertRequest& request) {
  switch (target.server) {
    case Server::kSqlite:
      target.run(
          "select kestal_bulk_insert(" + tsql::QuoteString(request.table) + ", " +
          tsql::QuoteString(request.path) + ", " + tsql::QuoteString(request.field_terminator) +
          ", " + tsql::QuoteString(request.row_terminator) + ", " +
          std::to_string(request.first_row) + ", " + (request.keep_identity ? "1" : "0") + ")");
      return;
    case Server::kPostgres:
    case Server::kSqlServer:
      break;
  }
  throw _com_error(kNotSupported, CString("ODBC: the driver '" + target.driver +
                                          "' offers no bulk copy for BULK INSERT"));
}

}  // namespace kestal::db::odbc
