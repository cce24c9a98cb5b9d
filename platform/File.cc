#include "platform/File.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <utility>

namespace {

// The installed fault hook; guarded by HookMutex because tests install it
// while other threads may be doing file work.
std::mutex& HookMutex() {
  static std::mutex m;
  return m;
}
CFile::FaultHook& Hook() {
  static CFile::FaultHook hook;
  return hook;
}

// errno value injected for operation on path, or 0 to go ahead.
int InjectedFault(const char* operation, const CString& path) {
  std::lock_guard<std::mutex> guard(HookMutex());
  return Hook() ? Hook()(operation, path) : 0;
}

int CauseOf(int osError) {
  switch (osError) {
    case 0:
      return CFileException::none;
    case ENOENT:
      return CFileException::fileNotFound;
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
      return CFileException::badPath;
    case EMFILE:
    case ENFILE:
      return CFileException::tooManyOpenFiles;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
      return CFileException::accessDenied;
    case EBADF:
      return CFileException::invalidFile;
    case EINVAL:
    case ESPIPE:
      return CFileException::badSeek;
    case EIO:
      return CFileException::hardIO;
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EDEADLK:
      return CFileException::lockViolation;
    case ENOSPC:
    case EFBIG:
    case EDQUOT:
      return CFileException::diskFull;
    default:
      return CFileException::genericException;
  }
}

[[noreturn]] void Fail(const char* operation, const CString& path, int osError) {
  throw CFileException(operation, path, osError);
}

}  // namespace

CFileException::CFileException(const char* operation, const CString& fileName, int osError)
    : m_cause(CauseOf(osError)),
      m_lOsError(osError),
      m_strFileName(fileName),
      m_strOperation(operation ? operation : "") {
  char reason[256];
  // The GNU strerror_r returns the text, which may or may not be reason.
  const char* text = strerror_r(osError, reason, sizeof reason);
  m_strMessage.Format("%s of %s failed: %s", m_strOperation.c_str(), m_strFileName.c_str(), text);
}

int CFileException::GetErrorMessage(char* buffer, unsigned maxChars, unsigned* helpContext) const {
  if (helpContext != nullptr) *helpContext = 0;
  if (buffer == nullptr || maxChars == 0) return 0;
  size_t n = std::min<size_t>(static_cast<size_t>(m_strMessage.GetLength()), maxChars - 1);
  memcpy(buffer, m_strMessage.c_str(), n);
  buffer[n] = '\0';
  return 1;
}

CFile::CFile() : m_hFile(-1), m_nPosition(0) {}

CFile::~CFile() {
  Abort();
}

CFile::CFile(CFile&& other) noexcept
    : m_hFile(std::exchange(other.m_hFile, -1)),
      m_nPosition(std::exchange(other.m_nPosition, 0)),
      m_strFileName(std::move(other.m_strFileName)) {}

CFile& CFile::operator=(CFile&& other) noexcept {
  if (this != &other) {
    Abort();
    m_hFile = std::exchange(other.m_hFile, -1);
    m_nPosition = std::exchange(other.m_nPosition, 0);
    m_strFileName = std::move(other.m_strFileName);
  }
  return *this;
}

void CFile::SetFaultHook(FaultHook hook) {
  std::lock_guard<std::mutex> guard(HookMutex());
  Hook() = std::move(hook);
}

void CFile::Open(const char* fileName, unsigned openFlags) {
  Abort();
  CString path(fileName);
  if (fileName == nullptr || *fileName == '\0') Fail("open", path, ENOENT);
  if (int fault = InjectedFault("open", path)) Fail("open", path, fault);
  int access = O_RDONLY;
  if ((openFlags & 3) == modeWrite) access = O_WRONLY;
  if ((openFlags & 3) == modeReadWrite) access = O_RDWR;
  // Never O_CREAT: a missing file is a failure, not an empty table.
  int fd;
  do {
    fd = ::open(fileName, access | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) Fail("open", path, errno);
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd);
    Fail("open", path, EISDIR);
  }
  m_hFile = fd;
  m_nPosition = 0;
  m_strFileName = path;
}

void CFile::Close() {
  if (m_hFile < 0) return;
  int fd = std::exchange(m_hFile, -1);
  int fault = InjectedFault("close", m_strFileName);
  // The descriptor is released even when the close is reported as failing.
  if (::close(fd) != 0 && fault == 0) fault = errno;
  if (fault != 0) Fail("close", m_strFileName, fault);
}

void CFile::Abort() {
  if (m_hFile >= 0) ::close(std::exchange(m_hFile, -1));
}

void CFile::CheckOpen(const char* operation) const {
  if (m_hFile < 0) Fail(operation, m_strFileName, EBADF);
  if (int fault = InjectedFault(operation, m_strFileName)) Fail(operation, m_strFileName, fault);
}

uint64_t CFile::Seek(int64_t offset, unsigned from) {
  CheckOpen("seek");
  int64_t base = 0;
  if (from == current)
    base = static_cast<int64_t>(m_nPosition);
  else if (from == end)
    base = static_cast<int64_t>(GetLength());
  else if (from != begin)
    Fail("seek", m_strFileName, EINVAL);
  if ((offset < 0 && base < -offset) || (offset > 0 && base > INT64_MAX - offset)) {
    Fail("seek", m_strFileName, EINVAL);
  }
  m_nPosition = static_cast<uint64_t>(base + offset);
  return m_nPosition;
}

uint64_t CFile::GetPosition() const {
  CheckOpen("seek");
  return m_nPosition;
}

uint64_t CFile::GetLength() const {
  CheckOpen("stat");
  struct stat st;
  if (fstat(m_hFile, &st) != 0) Fail("stat", m_strFileName, errno);
  return static_cast<uint64_t>(st.st_size);
}

size_t CFile::Read(void* buffer, size_t count) {
  CheckOpen("read");
  if (count > 0 && buffer == nullptr) Fail("read", m_strFileName, EFAULT);
  char* out = static_cast<char*>(buffer);
  size_t done = 0;
  while (done < count) {
    ssize_t n = ::pread(m_hFile, out + done, count - done, static_cast<off_t>(m_nPosition + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      Fail("read", m_strFileName, errno);
    }
    if (n == 0) break;  // end of file
    done += static_cast<size_t>(n);
  }
  m_nPosition += done;
  return done;
}

void CFile::Write(const void* buffer, size_t count) {
  CheckOpen("write");
  if (count > 0 && buffer == nullptr) Fail("write", m_strFileName, EFAULT);
  const char* in = static_cast<const char*>(buffer);
  size_t done = 0;
  while (done < count) {
    ssize_t n = ::pwrite(m_hFile, in + done, count - done, static_cast<off_t>(m_nPosition + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      m_nPosition += done;
      Fail("write", m_strFileName, errno);
    }
    if (n == 0) {
      m_nPosition += done;
      Fail("write", m_strFileName, ENOSPC);
    }
    done += static_cast<size_t>(n);
  }
  m_nPosition += done;
}

void CFile::SetLock(short type, uint64_t position, uint64_t count, const char* operation) {
  CheckOpen(operation);
  if (count == 0 || position > static_cast<uint64_t>(INT64_MAX) ||
      count > static_cast<uint64_t>(INT64_MAX) - position) {
    Fail(operation, m_strFileName, EINVAL);
  }
  struct flock fl;
  memset(&fl, 0, sizeof fl);
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = static_cast<off_t>(position);
  fl.l_len = static_cast<off_t>(count);
  fl.l_pid = 0;  // required by F_OFD_SETLK
  int rc;
  do {
    rc = fcntl(m_hFile, F_OFD_SETLK, &fl);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) Fail(operation, m_strFileName, errno);
}

void CFile::LockRange(uint64_t position, uint64_t count) {
  SetLock(F_WRLCK, position, count, "lock");
}

void CFile::LockRangeShared(uint64_t position, uint64_t count) {
  SetLock(F_RDLCK, position, count, "shared lock");
}

void CFile::UnlockRange(uint64_t position, uint64_t count) {
  SetLock(F_UNLCK, position, count, "unlock");
}
