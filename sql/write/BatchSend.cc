// Sending the order buffer: its statements as one command text, or its lines
// as the bulk-load file below the working directory taken at construction,
// loaded by the server with BULK INSERT.
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "sql/SQLOperate.h"
#include "sql/Statement.h"

using kestal::statement::ExecuteDiscard;
using kestal::statement::NewCommand;

namespace {

// Writes all of size bytes to fd from offset 0, resuming after
// interruptions.
bool WriteAll(int fd, const char* data, size_t size) {
  off_t at = 0;
  while (size > 0) {
    ssize_t written = pwrite(fd, data, size, at);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += written;
    at += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

// How long a loader waits for another loader of the same file name (another
// object with the same tag in the same working directory, in this process or
// another) to finish its load, and the longest pause between two tries.
constexpr int kBulkLockWaitMs = 120000;
constexpr useconds_t kBulkLockMaxPauseUs = 50000;

// The bulk-load file of one batch, open and exclusively locked. The lock is
// what keeps two loaders of one name apart, so it is held from before the
// file is truncated until after the server has read it: closing the file
// (which releases the lock) any earlier lets another loader replace the
// content under the load.
class LockedBulkFile {
 public:
  LockedBulkFile() = default;
  ~LockedBulkFile() {
    if (fd_ >= 0) close(fd_);
  }
  LockedBulkFile(const LockedBulkFile&) = delete;
  LockedBulkFile& operator=(const LockedBulkFile&) = delete;

  // Opens path (never creating its directory), waits for its lock and
  // replaces its content with size bytes of data, flushed to the file. False
  // with *why set ("operation 'path': errno text") when any step fails.
  bool Write(const CString& path, const char* data, size_t size, std::string* why) {
    fd_ = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) return Failed("cannot open the bulk-load file", path, why);
    if (!Lock()) return Failed("cannot lock the bulk-load file", path, why);
    // The new content is written over the old, and the file then cut to its
    // size: emptying it first would free its blocks only for the write to
    // take them again, which costs a file system more than the write.
    if (!WriteAll(fd_, data, size)) return Failed("cannot write the bulk-load file", path, why);
    if (ftruncate(fd_, static_cast<off_t>(size)) != 0) {
      return Failed("cannot cut the bulk-load file to its content", path, why);
    }
    return true;
  }

 private:
  // Takes the exclusive lock, pausing between tries with a growing back-off;
  // false (errno EWOULDBLOCK) when another loader keeps it past the wait.
  bool Lock() {
    useconds_t pause = 1000;
    long waited_us = 0;
    while (flock(fd_, LOCK_EX | LOCK_NB) != 0) {
      if (errno == EINTR) continue;
      if (errno != EWOULDBLOCK || waited_us >= kBulkLockWaitMs * 1000L) return false;
      usleep(pause);
      waited_us += static_cast<long>(pause);
      pause = std::min<useconds_t>(pause * 2, kBulkLockMaxPauseUs);
    }
    return true;
  }
  static bool Failed(const char* what, const CString& path, std::string* why) {
    *why = std::string(what) + " '" + path.str() + "': " + std::strerror(errno);
    return false;
  }

  int fd_ = -1;
};

// The BULK INSERT statement for path; a quote in the path is doubled so that
// it stays inside the string literal.
CString BulkInsertStatement(const CString& table, const CString& path) {
  CString quoted = path;
  quoted.Replace("'", "''");
  CString sql;
  sql.Format(
      "BULK INSERT [%s] FROM '%s' WITH ( DATAFILETYPE = 'char', FIELDTERMINATOR = ',', TABLOCK)",
      table.c_str(), quoted.c_str());
  return sql;
}

}  // namespace

// Sends the batch: in mode 2 as the bulk-load file log/OrderTemp_<tag>.txt
// below m_szCurrentDir, otherwise as one command text of statements. Returns 1
// when sent (the buffer is then empty). Returns 0 with the batch kept when no
// buffer is held, no working directory was recorded or the bulk-load file
// cannot be written (the reason is then the connection's LastError);
// returns 0 with the batch dropped when the server fails, after reopening
// the connection with nReOpenCount attempts (nothing is resent). In mode 2
// the file stays locked until the server has loaded it.
int CSQLOperate::ExecBatchInsert(int nReOpenCount, int nMode, CString strFileTag) {
  if (m_pOrderBuff == nullptr) return 0;
  CString sql;
  LockedBulkFile file;  // released when this call returns, after the load
  if (nMode == 2) {
    CString path;
    CString dir(m_szCurrentDir, static_cast<int>(strnlen(m_szCurrentDir, sizeof m_szCurrentDir)));
    // No working directory was recorded (it did not fit): rather than write
    // below the file-system root, keep the batch.
    if (dir.IsEmpty()) return 0;
    path.Format("%s/log/OrderTemp_%s.txt", dir.c_str(), strFileTag.c_str());
    std::string why;
    if (!file.Write(path, m_pOrderBuff, static_cast<size_t>(m_lOrderBuffLen), &why)) {
      if (m_pConnection.get() != nullptr) {
        m_pConnection.get()->NoteError(_com_error(kestal::db::kConnectionError, CString(why),
                                                  kestal::db::FailureKind::kResource));
      }
      return 0;
    }
    sql = BulkInsertStatement(m_strTableName, path);
  } else {
    sql = CString(m_pOrderBuff);
  }

  try {
    ExecuteDiscard(NewCommand(m_pConnection), sql);
    BuffInit();
    return 1;
  } catch (const _com_error&) {
    BuffInit();
    ReOpenEx(nReOpenCount);
    return 0;
  }
}
