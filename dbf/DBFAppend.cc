// CDBFOperate: appending records under the lock of the header's record count,
// record numbering, and the lock helpers.
//
// Order of acquisition: m_csLock first, then the file lock on bytes 4 to 7;
// released in the opposite order. Records are written before the end-of-file
// byte and the count, so a reader never counts an incomplete record, and an
// append that dies before the count is overwritten by the next one.
#include <time.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "dbf/DBFDetail.h"
#include "dbf/DBFOperate.h"
#include "platform/Mbcs.h"

using namespace kestal::dbf_detail;

namespace {

// Writes number in decimal just before end, with a '-' when negative; returns
// where the text starts. end must have 20 free bytes before it.
char* FormatDecimal(long number, char* end) {
  unsigned long magnitude =
      number < 0 ? 0UL - static_cast<unsigned long>(number) : static_cast<unsigned long>(number);
  char* p = end;
  do {
    *--p = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (number < 0) *--p = '-';
  return p;
}

// The decimal text of a number that counts up by one, kept between records
// so that each record costs a carry rather than a conversion.
class DecimalCounter {
 public:
  // Starts at number.
  explicit DecimalCounter(long number) : begin_(FormatDecimal(number, text_ + sizeof text_)) {}
  const char* data() const { return begin_; }
  size_t size() const { return static_cast<size_t>(text_ + sizeof text_ - begin_); }
  // Adds one. Only for numbers that are not negative; the text grows by a
  // digit at most once per power of ten and never beyond 20 digits.
  void Increment() {
    for (char* p = text_ + sizeof text_; p != begin_;) {
      --p;
      if (*p != '9') {
        ++*p;
        return;
      }
      *p = '0';
    }
    *--begin_ = '1';
  }

 private:
  char text_[24];
  char* begin_;
};

// Fills the width bytes at field with text: right-aligned and padded with
// spaces, or its leading width characters when it is wider. No terminator;
// any width the record holds is served, including widths beyond 30.
void PutNumberField(char* field, const char* text, size_t length, size_t width) {
  if (length < width) {
    memset(field, ' ', width - length);
    memcpy(field + (width - length), text, length);
  } else {
    memcpy(field, text, width);
  }
}

}  // namespace

int CDBFOperate::AddNewRecord(char* pRecords, long nCount, CString strTableTag) {
  // Nothing sensible can be written for these; refuse before touching the file.
  if (nCount < 0 || (nCount > 0 && pRecords == nullptr)) return 0;
  if (m_bReadOnly) {
    char text[kErrorMsgSize];
    snprintf(text, sizeof text, "append to %s refused: the table file is open for reading only",
             m_strFileName.c_str());
    SetErrorText(m_szErrorMsg, text);
    m_nLastError = -1;
    return 0;
  }
  int result = 1;
  m_csLock.Lock();
  if (LockFile() != 0) {
    m_csLock.Unlock();
    // A handle that cannot get the lock may be stale: take a fresh one in its
    // place. On failure the object has no open file until the next Open.
    try {
      m_File.Open(m_strFileName.c_str(), kOpenFlags);
    } catch (const CFileException& e) {
      SetErrorText(m_szErrorMsg, e);
      return 0;
    }
    m_csLock.Lock();
    if (LockFile() != 0) {
      m_csLock.Unlock();
      return 0;
    }
  }
  try {
    unsigned char bytes[kCountSize];
    m_File.Seek(static_cast<int64_t>(kCountOffset), CFile::begin);
    if (m_File.Read(bytes, sizeof bytes) < sizeof bytes) {
      throw CFileException("read", m_File.GetFilePath(), ENODATA);
    }
    int32_t oldCount = GetInt32(bytes);
    // A negative count would place the records inside the header, and one
    // the batch would push past 2^31 - 1 cannot be written back.
    if (oldCount < 0 || nCount > INT32_MAX - int64_t{oldCount}) {
      throw CFileException("append", m_File.GetFilePath(), EOVERFLOW);
    }
    AddRecordNumber(pRecords, nCount, oldCount, strTableTag);
    m_File.Seek(int64_t{m_nHeadLen} + int64_t{oldCount} * m_nRecLen, CFile::begin);
    m_File.Write(pRecords, static_cast<size_t>(nCount) * m_nRecLen);
    int32_t newCount = static_cast<int32_t>(oldCount + nCount);
    m_File.Seek(int64_t{m_nHeadLen} + int64_t{newCount} * m_nRecLen, CFile::begin);
    m_File.Write(&kEndOfFile, 1);
    PutInt32(bytes, newCount);
    m_File.Seek(static_cast<int64_t>(kCountOffset), CFile::begin);
    m_File.Write(bytes, sizeof bytes);
    m_nLastError = 0;
    m_lTotalCount = newCount;
  } catch (const CFileException& e) {
    // Writes made before the error stay; they are not counted. The text says
    // why ("No space left on device", "File too large", ...).
    SetErrorText(m_szErrorMsg, e);
    m_nLastError = -1;
    result = 0;
  }
  if (UnlockFile() != 0) result = 0;
  m_csLock.Unlock();
  return result;
}

void CDBFOperate::AddRecordNumber(char* pRecords, long nCount, long nStart, CString strTableTag) {
  if (m_nFieldCount < 1 || nCount <= 0 || pRecords == nullptr) return;
  const DBFFIELD& field = m_Fields[0];
  if (_mbsicmp(FieldName(field).text, "REC_NUM") != 0) return;
  if (_mbsicmp(strTableTag.c_str(), "WTK") != 0) return;
  int width = field.nLength;
  // Open keeps every field inside the record; check again before writing.
  if (uint64_t{field.nOffset} + static_cast<uint64_t>(width) > m_nRecLen) return;
  char* p = pRecords + field.nOffset;
  // The caller keeps nStart + nCount within 2^31 - 1, and nStart at 0 or
  // above; a negative start is served record by record all the same.
  if (nStart < 0) {
    for (long k = 1; k <= nCount; ++k) {
      char digits[24];
      char* end = digits + sizeof digits;
      const char* text = FormatDecimal(nStart + k, end);
      PutNumberField(p, text, static_cast<size_t>(end - text), static_cast<size_t>(width));
      p += m_nRecLen;
    }
    return;
  }
  DecimalCounter number(nStart + 1);
  for (long k = 1; k <= nCount; ++k) {
    PutNumberField(p, number.data(), number.size(), static_cast<size_t>(width));
    number.Increment();
    p += m_nRecLen;
  }
}

int CDBFOperate::LockFile() {
  bool locked = false;
  Backoff pause;
  time_t t0 = time(nullptr);
  for (;;) {
    time_t t1 = time(nullptr);
    try {
      m_File.LockRange(kCountOffset, kCountSize);
      locked = true;
    } catch (const CFileException& e) {
      SetErrorText(m_szErrorMsg, e);
      locked = false;
    } catch (...) {
      locked = false;
    }
    // Retry after a pause, for as long as attempts start within 5 whole
    // seconds. A clock set back ends the wait rather than stretching it.
    if (difftime(t1, t0) > 5.0 || t1 < t0 || locked) break;
    pause.Wait();
  }
  return locked ? 0 : 1;
}

int CDBFOperate::UnlockFile() {
  try {
    m_File.UnlockRange(kCountOffset, kCountSize);
  } catch (const CFileException& e) {
    // After an append that failed, its own error is the one worth keeping.
    if (m_nLastError == 0) SetErrorText(m_szErrorMsg, e);
    return 1;
  } catch (...) {
    return 1;
  }
  return 0;
}

int CDBFOperate::LockHead() {
  try {
    m_File.LockRange(kCountOffset, kCountSize);
  } catch (...) {
    return 1;
  }
  return 0;
}

int CDBFOperate::UnlockHead() {
  return UnlockFile();
}
