// SQLite result codes to statuses and failure kinds (see Errors.h).
#include "sql/db/sqlite/Errors.h"

namespace kestal::db::sqlite {
namespace {

// Messages of the T-SQL functions (Functions.cc, DateFunctions.cc) and of
// SQLite itself that say a value could not be taken: the record's fault.
bool NamesAValue(const std::string& message) {
  for (const char* part :
       {"onversion failed", "rror converting", "overflow", "incompatible",
        "Invalid length parameter", "would be truncated", "datatype mismatch", "out of range"}) {
    if (message.find(part) != std::string::npos) return true;
  }
  return false;
}

}  // namespace

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

FailureKind KindFor(int rc, const std::string& message) {
  switch (rc & 0xff) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return FailureKind::kBusy;
    case SQLITE_FULL:
    case SQLITE_IOERR:
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_NOLFS:
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
    case SQLITE_NOMEM:
      return FailureKind::kResource;
    case SQLITE_CANTOPEN:
    case SQLITE_PROTOCOL:
    case SQLITE_AUTH:
      return FailureKind::kLink;
    case SQLITE_CONSTRAINT:
    case SQLITE_MISMATCH:
    case SQLITE_RANGE:
    case SQLITE_TOOBIG:
      return FailureKind::kValue;
    default:
      return NamesAValue(message) ? FailureKind::kValue : FailureKind::kStatement;
  }
}

void Raise(sqlite3* db, int rc, const std::string& context) {
  std::string message = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
  const FailureKind kind = KindFor(rc, message);
  if (kind == FailureKind::kBusy) message += " (the busy time-out ran out)";
  if (!context.empty()) message = context + ": " + message;
  throw _com_error(StatusFor(rc), CString(message), kind);
}

void RequireWritable(sqlite3* db, const std::string& path) {
  if (sqlite3_db_readonly(db, "main") != 1) return;
  throw _com_error(kConnectionError,
                   CString("SQLite: the database \"" + path +
                           "\" can only be read (the file or its folder is not writable); "
                           "a writable database is needed"),
                   FailureKind::kResource);
}

}  // namespace kestal::db::sqlite
