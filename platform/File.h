// CFile: one handle on an existing file, opened for shared reading and
// writing, with explicit positioning and byte-range locks that never wait.
// CFileException: the failure of one file operation; every failing member of
// CFile raises it, naming the operation, the path and the system's reason.
//
// Locks are Linux open-file-description locks (fcntl F_OFD_SETLK). They
// belong to the handle, not to the process: two CFile objects on one file
// exclude each other even within one process, and closing some other handle
// of the same file does not release them. Closing this handle releases its
// own locks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>

#include "platform/Object.h"
#include "platform/String.h"

class CFileException : public std::exception {
 public:
  // Causes, as in MFC; m_lOsError keeps the errno value.
  enum Cause {
    none = 0,
    genericException = 1,
    fileNotFound = 2,
    badPath = 3,
    tooManyOpenFiles = 4,
    accessDenied = 5,
    invalidFile = 6,
    removeCurrentDir = 7,
    directoryFull = 8,
    badSeek = 9,
    hardIO = 10,
    sharingViolation = 11,
    lockViolation = 12,
    diskFull = 13,
    endOfFile = 14,
  };

  // operation names the failed call ("open", "read", "lock", ...).
  CFileException(const char* operation, const CString& fileName, int osError);

  // Copies the message into buffer, at most maxChars - 1 bytes, always
  // terminated. Returns 1 when maxChars allows at least the terminator.
  int GetErrorMessage(char* buffer, unsigned maxChars, unsigned* helpContext = nullptr) const;
  // "<operation> of <path> failed: <strerror text>".
  const CString& GetMessage() const { return m_strMessage; }
  const char* what() const noexcept override { return m_strMessage.c_str(); }

  int m_cause;
  long m_lOsError;
  CString m_strFileName;
  CString m_strOperation;

 private:
  CString m_strMessage;
};

class CFile : public CObject {
 public:
  // Mode flags, with MFC's values. Only modeRead/modeWrite/modeReadWrite take
  // effect: files are always shared, binary, and never created.
  enum OpenFlags : unsigned {
    modeRead = 0x0000,
    modeWrite = 0x0001,
    modeReadWrite = 0x0002,
    shareCompat = 0x0000,
    shareExclusive = 0x0010,
    shareDenyWrite = 0x0020,
    shareDenyRead = 0x0030,
    shareDenyNone = 0x0040,
    modeNoInherit = 0x0080,
    modeCreate = 0x1000,
    typeText = 0x4000,
    typeBinary = 0x8000,
  };
  enum SeekPosition { begin = 0, current = 1, end = 2 };

  CFile();
  // Closes a handle that is still open; errors are ignored.
  ~CFile() override;
  CFile(const CFile&) = delete;
  CFile& operator=(const CFile&) = delete;
  // Moving hands the handle (and its locks) over; the source is left closed.
  CFile(CFile&& other) noexcept;
  CFile& operator=(CFile&& other) noexcept;

  // Opens an existing file; raises CFileException when it cannot (a missing
  // file is never created). An open handle is closed first.
  void Open(const char* fileName, unsigned openFlags);
  // Closes the handle; raises CFileException when the system reports an
  // error (the handle is released all the same).
  void Close();
  // Closes without raising.
  void Abort();
  bool IsOpen() const { return m_hFile >= 0; }
  const CString& GetFilePath() const { return m_strFileName; }

  // Sets the position; returns the new position. A position before the start
  // of the file raises CFileException.
  uint64_t Seek(int64_t offset, unsigned from);
  void SeekToBegin() { Seek(0, begin); }
  uint64_t GetPosition() const;
  uint64_t GetLength() const;

  // Reads up to count bytes at the position and advances it; returns the
  // number read, fewer than count only at the end of the file.
  size_t Read(void* buffer, size_t count);
  // Writes all count bytes at the position and advances it.
  void Write(const void* buffer, size_t count);

  // Exclusive lock of [position, position + count), taken at once or not at
  // all: a range held by any other handle raises CFileException (lock).
  void LockRange(uint64_t position, uint64_t count);
  // Shared (read) lock of the range, without waiting; it coexists with other
  // shared locks and fails while another handle holds an exclusive one.
  void LockRangeShared(uint64_t position, uint64_t count);
  // Releases this handle's lock of the range.
  void UnlockRange(uint64_t position, uint64_t count);

  // Test seam: when set, the hook is asked before each system call with the
  // operation name and the path; a non-zero answer makes that call fail with
  // that errno value instead of running. Process-wide; pass {} to clear.
  using FaultHook = std::function<int(const char* operation, const CString& path)>;
  static void SetFaultHook(FaultHook hook);

 private:
  void SetLock(short type, uint64_t position, uint64_t count, const char* operation);
  void CheckOpen(const char* operation) const;

  int m_hFile;
  uint64_t m_nPosition;
  CString m_strFileName;
};
