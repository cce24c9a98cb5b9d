// CDBFOperate: the record count, block reads into the record buffer,
// navigation and field values.
#include <time.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "dbf/DBFDetail.h"
#include "dbf/DBFOperate.h"
#include "platform/Mbcs.h"

using namespace kestal::dbf_detail;

namespace {

// Reads the header's record count once. A shared lock on the count bytes is
// held around the read, so the read fails (and is retried by the caller)
// while an appender holds its exclusive lock there: a reader never sees a
// count that an appender is about to rewrite. Raises CFileException.
int32_t ReadCountOnce(CFile& file) {
  file.LockRangeShared(kCountOffset, kCountSize);
  unsigned char bytes[kCountSize];
  size_t got = 0;
  try {
    file.Seek(static_cast<int64_t>(kCountOffset), CFile::begin);
    got = file.Read(bytes, sizeof bytes);
  } catch (const CFileException&) {
    try {
      file.UnlockRange(kCountOffset, kCountSize);
    } catch (const CFileException&) {
      // The read error is the one worth reporting.
    }
    throw;
  }
  file.UnlockRange(kCountOffset, kCountSize);
  if (got < sizeof bytes) throw CFileException("read", file.GetFilePath(), ENODATA);
  return GetInt32(bytes);
}

// Copies the first got bytes of n records of length recLen, read end to end
// into packed, into slots 0 to n - 1 of buf: slot k receives record k in its
// first recLen bytes, or the part of it that was read. Before the call the
// first dirtyLen bytes of slots 0 to dirtySlots - 1 may be non-zero and the
// rest of buf is zero; afterwards every byte outside the new records is zero.
// Only the bytes that were dirty are cleared, not the whole buffer.
void SpreadIntoSlots(char* buf, const char* packed, size_t got, int n, int recLen, int dirtySlots,
                     int dirtyLen) {
  const size_t length = static_cast<size_t>(recLen);
  for (int k = 0; k < n; ++k) {
    char* slot = buf + static_cast<size_t>(k) * CDBFOperate::kSlotSize;
    const size_t start = static_cast<size_t>(k) * length;
    size_t copied = length;
    if (got < start + length) copied = got > start ? got - start : 0;
    memcpy(slot, packed + start, copied);
    const size_t dirty = k < dirtySlots ? static_cast<size_t>(dirtyLen) : 0;
    if (dirty > copied) memset(slot + copied, 0, dirty - copied);
  }
  for (int k = n; k < dirtySlots; ++k) {
    memset(buf + static_cast<size_t>(k) * CDBFOperate::kSlotSize, 0, static_cast<size_t>(dirtyLen));
  }
}

}  // namespace

long CDBFOperate::GetTotalCounts() {
  m_csLock.Lock();
  int32_t count = 0;
  time_t t0 = time(nullptr);
  for (;;) {
    time_t t1 = time(nullptr);
    bool ok = false;
    try {
      count = ReadCountOnce(m_File);
      m_nLastError = 0;
      ok = true;
    } catch (const CFileException& e) {
      count = m_lTotalCount;
      SetErrorText(m_szErrorMsg, e);
      m_nLastError = -1;
    }
    // Retry at once, for as long as attempts start within 5 whole seconds. A
    // clock set back ends the wait rather than stretching it.
    if (difftime(t1, t0) > 5.0 || t1 < t0 || ok) break;
  }
  m_lTotalCount = count;
  m_csLock.Unlock();
  return count;
}

CString CDBFOperate::GetTotalRecord() {
  CString text;
  text.Format("%d", static_cast<int>(GetTotalCounts()));
  return text;
}

int CDBFOperate::ReadToBufferFromFile(int nCount) {
  if (nCount > kSlotCount) return 0;
  // Open admits only record lengths that fit a slot; a table never opened
  // has none, and nothing is read for it.
  if (m_nRecLen == 0 || m_nRecLen > kSlotSize) return 0;
  // A position below -1 would read header bytes as records.
  if (m_lCurPos < -1) return 0;
  int64_t next = int64_t{m_lCurPos} + 1;
  int64_t available;
  if (next + nCount < m_lTotalCount) {
    available = m_lTotalCount - next;
  } else {
    available = GetTotalCounts() - next;
  }
  int n = static_cast<int>(available < nCount ? available : nCount);
  if (n < 1) return 0;
  m_nBufferPos = -1;
  size_t got = 0;
  try {
    if (!m_pReadBuf) {
      m_pReadBuf.reset(new (std::nothrow) char[kRecordBufSize]);
      if (!m_pReadBuf) throw CFileException("read", m_File.GetFilePath(), ENOMEM);
    }
    m_File.Seek(int64_t{m_nHeadLen} + next * m_nRecLen, CFile::begin);
    // n records of at most 512 bytes fit the read buffer; a short file gives
    // fewer bytes, and what was not read stays zero in the slots.
    got = m_File.Read(m_pReadBuf.get(), static_cast<size_t>(n) * m_nRecLen);
  } catch (const CFileException& e) {
    // A failed block read leaves an empty buffer, as a cleared one would.
    SpreadIntoSlots(m_szRecordBuf, nullptr, 0, 0, m_nRecLen, m_nDirtySlots, m_nDirtyLen);
    m_nDirtySlots = 0;
    m_nDirtyLen = 0;
    SetErrorText(m_szErrorMsg, e);
    m_nLastError = -1;
    return 0;
  }
  SpreadIntoSlots(m_szRecordBuf, m_pReadBuf.get(), got, n, m_nRecLen, m_nDirtySlots, m_nDirtyLen);
  m_nDirtySlots = n;
  m_nDirtyLen = m_nRecLen;
  m_nLastError = 0;
  return n;
}

int CDBFOperate::MoveNext() {
  int64_t next = int64_t{m_lCurPos} + 1;
  if (next >= m_lTotalCount && next >= GetTotalCounts()) return 0;
  m_lCurPos = static_cast<int32_t>(next);
  if (m_nBufferPos < kSlotCount) ++m_nBufferPos;
  return 1;
}

int CDBFOperate::MoveTo(long nPos) {
  long total = GetTotalCounts();
  // Below -1 there is no record and no "before the first" either.
  if (nPos > total || nPos < -1) return 0;
  m_lCurPos = static_cast<int32_t>(nPos);
  return 1;
}

void CDBFOperate::MovePrev() {
  if (m_lCurPos > INT32_MIN) --m_lCurPos;
  if (m_nBufferPos > INT32_MIN) --m_nBufferPos;
}

CString CDBFOperate::GetCurrentPos() {
  CString text;
  // In 64 bits: at position 2^31 - 1 (a count of 2^31 - 1) the number is 2^31.
  text.Format("%lld", static_cast<long long>(m_lCurPos) + 1);
  return text;
}

CString CDBFOperate::GetFieldValue(int nIndex, CString strField) {
  if (nIndex < 0 || nIndex >= kSlotCount) return CString();
  int held = HeldFields(*this);
  for (int i = 0; i < held; ++i) {
    const DBFFIELD& field = m_Fields[i];
    if (_mbsicmp(FieldName(field).text, strField.c_str()) != 0) continue;
    // Open checked every field against the record length; check the slot
    // again so that no lookup ever leaves it, whatever the members hold.
    if (uint64_t{field.nOffset} + field.nLength > kSlotSize) return CString();
    const char* value = m_szRecordBuf + nIndex * kSlotSize + field.nOffset;
    size_t length = strnlen(value, field.nLength);  // a NUL cuts the value
    return CString(value, static_cast<int>(length));
  }
  return CString();
}

CString CDBFOperate::GetFieldValue(CString strField) {
  return GetFieldValue(m_nBufferPos, strField);
}
