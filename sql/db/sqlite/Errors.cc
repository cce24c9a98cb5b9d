#include "sql/db/sqlite/Errors.h"

namespace kestal::db::sqlite {

HRESULT StatusFor(int rc) {
  switch (rc & 0xff) {
    case SQLITE_NOMEM:
      return kOutOfMemory;
    case SQLITE_CANTOPEN:
    case SQLITE_NOTADB:
    case SQLITE_IOERR:
    case SQLITE_CORRUPT:
    case SQLITE_FULL:
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
    case SQLITE_PERM:
    case SQLITE_READONLY:
    case SQLITE_PROTOCOL:
    case SQLITE_NOLFS:
    case SQLITE_AUTH:
      return kConnectionError;
    default:
      return kStatementError;
  }
}

void Raise(sqlite3* db, int rc, const std::string& context) {
  std::string message = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
  if ((rc & 0xff) == SQLITE_BUSY || (rc & 0xff) == SQLITE_LOCKED) {
    message += " (the busy time-out ran out)";
  }
  if (!context.empty()) message = context + ": " + message;
  throw _com_error(StatusFor(rc), CString(message));
}

}  // namespace kestal::db::sqlite
