// CDBFOperate: one dBASE III table file (.DBF), opened for shared reading and
// writing. A reader follows the growing file by block reads of the records
// after its position; an appender adds batches of records under an exclusive
// byte-range lock of the header's record count (bytes 4 to 7), stamping
// REC_NUM for "WTK" tables, and writes the records before the count so that
// readers never count a record that is not complete.
//
// m_csLock guards every count refresh and every append of one object; between
// handles and processes the lock on bytes 4 to 7 serialises appenders only.
// Readers take no file lock at all, so no number of followers can hold an
// appender up: they read the count until two reads agree. Block reads,
// navigation and field lookups take no lock and share the object's single
// file position with appends: one object serves one operation at a time.
//
// The class is exported whole: the data members are public so that tools can
// read the layout and field table, but only the member functions change them.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/CriticalSection.h"
#include "platform/File.h"
#include "platform/Object.h"
#include "platform/String.h"

// One field descriptor: the 32 bytes of the file, except that bytes 12 to 15
// hold the field's byte offset in the record image once the file is open.
struct DBFFIELD {
  char szName[11];         // ASCII, NUL-padded; compared case-insensitively
  char cType;              // 'C', 'N', 'D', ...; not used by the class
  uint32_t nOffset;        // offset in the record image (deletion flag is byte 0)
  uint8_t nLength;         // width in the record image
  uint8_t nDecimal;        // not used
  uint8_t szReserved[14];  // passed through
};
static_assert(sizeof(DBFFIELD) == 32, "a field descriptor is 32 bytes");

class CDBFOperateTestAccess;

class CDBFOperate : public CObject {
 public:
  static constexpr int kMaxFields = 100;
  static constexpr int kSlotSize = 512;
  static constexpr int kSlotCount = 500;
  static constexpr int kRecordBufSize = kSlotSize * kSlotCount;  // 256,000
  static constexpr int kErrorMsgSize = 255;
  static constexpr int kHeaderSize = 32;
  // Open flags of the table file: modeReadWrite | shareDenyNone | typeBinary.
  static constexpr unsigned kOpenFlags = 0x8042;
  // Open flags of OpenReadOnly: modeRead | shareDenyNone | typeBinary.
  static constexpr unsigned kReadOnlyFlags = 0x8040;

  // Constructs with no file open.
  CDBFOperate();
  // Closes a file that is still open.
  ~CDBFOperate() override;
  CDBFOperate(const CDBFOperate&) = delete;
  CDBFOperate& operator=(const CDBFOperate&) = delete;

  // Opens an existing table file and reads its layout. Returns 1 on success,
  // 0 on failure (a malformed header also records a text for GetLastErrorMsg).
  int Open(const char* strFileName);
  // As Open, but for reading only, so that a file without write permission
  // can be followed. AddNewRecord then fails with a text saying why.
  int OpenReadOnly(const char* strFileName);
  // Closes the file; errors are ignored. The members keep their values.
  void Close();

 private:
  // Reads header and field descriptors into the members. 1 on success, 0 on failure.
  int SetFileFormat();
  // Open with the given CFile flags.
  int OpenWith(const char* strFileName, unsigned nFlags);

 public:
  // The path of the last successful Open.
  CString GetFileName();
  // The text of the last recorded file error, "" when none.
  CString GetLastErrorMsg();

  // Reads up to nCount (at most 500) records after the position into the
  // record buffer. Returns the number of whole records read; 0 when none or
  // on failure. A file holding fewer records than its count is an error
  // (m_nLastError -1, text naming both numbers) after the records it holds.
  int ReadToBufferFromFile(int nCount);

 private:
  // Refreshes m_lTotalCount from the header, without any lock; the last
  // known count, with the error text, on failure.
  long GetTotalCounts();

 public:
  // The refreshed record count as decimal text.
  CString GetTotalRecord();
  // Makes record nPos (0-based, -1 = before the first) current. 1, or 0 past the end.
  int MoveTo(long nPos);
  // Steps to the next record. 1, or 0 at the end of the file.
  int MoveNext();
  // Steps back one record, unchecked.
  void MovePrev();
  // The 1-based number of the current record as text ("0" before the first).
  CString GetCurrentPos();
  // The value of field strField in buffer slot nIndex; "" when unknown.
  CString GetFieldValue(int nIndex, CString strField);
  // The value of field strField in the current slot; "" when unknown.
  CString GetFieldValue(CString strField);

  // Appends nCount record images from pRecords (stamping REC_NUM for "WTK").
  // Returns 1 on success, 0 on failure with the reason in GetLastErrorMsg.
  int AddNewRecord(char* pRecords, long nCount, CString strTableTag);

 private:
  // Stamps record numbers nStart + 1 .. nStart + nCount into REC_NUM.
  void AddRecordNumber(char* pRecords, long nCount, long nStart, CString strTableTag);
  // Locks bytes 4 to 7, retrying with pauses for 5 to 6 seconds. 0 when
  // held, 1 when not (the last failure's text recorded).
  int LockFile();
  // Releases the lock of bytes 4 to 7 once. 0 on success, 1 on failure.
  int UnlockFile();
  // Locks bytes 4 to 7 once, without retrying. 0 on success, 1 on failure.
  int LockHead();
  // Releases the lock of bytes 4 to 7 once. 0 on success, 1 on failure.
  int UnlockHead();

 public:
  int32_t m_nLastError;      // 0 after a successful count read, block read or append; -1 on error
  int32_t m_lRecordCount;    // header record count as read at open
  uint16_t m_nHeaderLength;  // header length as read at open
  uint16_t m_nRecordLength;  // record length as read at open
  uint16_t m_nFieldCount;    // (header length - 32) / 32; may exceed 100
  DBFFIELD m_Fields[kMaxFields];  // the first min(m_nFieldCount, 100) are held

 private:
  CFile m_File;

 public:
  uint16_t m_nHeadLen;    // working header length: base of every position
  uint16_t m_nRecLen;     // working record length: every stride
  int32_t m_lCurPos;      // current record, 0-based; -1 before the first
  int32_t m_nBufferPos;   // slot of the current record; -1 after a block read
  CString m_strFileName;  // path of the last successful Open
  int32_t m_lTotalCount;  // last known record count

 private:
  CCriticalSection m_csLock;  // count refreshes and appends of this object

 public:
  // 500 slots of 512 bytes, filled by block reads. After a block read of n
  // records slots 0 to n - 1 hold them and every other byte is zero, whatever
  // the host wrote here before.
  char m_szRecordBuf[kRecordBufSize];
  char m_szErrorMsg[kErrorMsgSize];  // NUL-terminated text of the last file error

 private:
  // The records of one block as they lie in the file, read in one call and
  // then copied into the slots. kRecordBufSize bytes, allocated by the first
  // block read and kept until destruction.
  std::unique_ptr<char[]> m_pReadBuf;
  // Set by OpenReadOnly, cleared by Open: appends are refused.
  bool m_bReadOnly;

  friend class CDBFOperateTestAccess;
};
