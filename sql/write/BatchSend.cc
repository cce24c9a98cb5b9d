// Sending the order buffer: its statements as one command text, or its lines
// as the bulk-load file below the working directory taken at construction,
// loaded by the server with BULK INSERT.
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstring>

#include "sql/SQLOperate.h"
#include "sql/Statement.h"

using kestal::statement::ExecuteDiscard;
using kestal::statement::NewCommand;

namespace {

// Writes all of size bytes to fd, resuming after interruptions.
bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t written = write(fd, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

// Replaces the content of path with size bytes of data, holding an exclusive
// lock on the file while it is written so that no other loader of the same
// name interleaves. The directory is never created. Returns false when the
// file cannot be opened, locked, truncated, written or closed; the caller then
// keeps its batch and loads nothing.
bool WriteBulkFile(const CString& path, const char* data, size_t size) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = flock(fd, LOCK_EX | LOCK_NB) == 0 && ftruncate(fd, 0) == 0 && WriteAll(fd, data, size);
  if (close(fd) != 0) ok = false;  // also releases the lock
  return ok;
}

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
// cannot be written; returns 0 with the batch dropped when the server fails,
// after reopening the connection with nReOpenCount attempts (nothing is
// resent).
int CSQLOperate::ExecBatchInsert(int nReOpenCount, int nMode, CString strFileTag) {
  if (m_pOrderBuff == nullptr) return 0;
  CString sql;
  if (nMode == 2) {
    CString path;
    CString dir(m_szCurrentDir, static_cast<int>(strnlen(m_szCurrentDir, sizeof m_szCurrentDir)));
    // No working directory was recorded (it did not fit): rather than write
    // below the file-system root, keep the batch.
    if (dir.IsEmpty()) return 0;
    path.Format("%s/log/OrderTemp_%s.txt", dir.c_str(), strFileTag.c_str());
    if (!WriteBulkFile(path, m_pOrderBuff, static_cast<size_t>(m_lOrderBuffLen))) return 0;
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
