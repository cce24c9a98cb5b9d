// SQLite result codes to statuses and failure kinds (see Errors.h).
#include "sql/db/sqlite/Errors.h"

#include <cstring>

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

// The file operation an extended I/O result code names, or null.
const char* IoStep(int rc) {
  switch (rc) {
    case SQLITE_IOERR_WRITE:
      return "writing the file failed";
    case SQLITE_IOERR_READ:
    case SQLITE_IOERR_SHORT_READ:
      return "reading the file failed";
    case SQLITE_IOERR_FSYNC:
    case SQLITE_IOERR_DIR_FSYNC:
      return "flushing the file to disk failed";
    case SQLITE_IOERR_TRUNCATE:
      return "truncating the file failed";
    case SQLITE_IOERR_SHMSIZE:
    case SQLITE_IOERR_SHMMAP:
    case SQLITE_IOERR_SHMOPEN:
      return "the shared-memory file failed";
    default:
      return nullptr;
  }
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
  // SQLite's text for a failed file operation is generic ("disk I/O
  // error"); the system's reason says which: "File too large", ...
  const int code = db != nullptr && kind == FailureKind::kResource ? sqlite3_system_errno(db) : 0;
  const char* step = IoStep(db != nullptr ? sqlite3_extended_errcode(db) : rc);
  if (step != nullptr) message += std::string(", ") + step;
  if (code != 0) message += std::string(" (") + std::strerror(code) + ")";
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
