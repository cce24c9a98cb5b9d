// CDBFOperate: the record count, block reads into the record buffer,
// navigation and field values.
#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "dbf/DBFDetail.h"
#include "dbf/DBFOperate.h"
#include "platform/Mbcs.h"

using namespace kestal::dbf_detail;

namespace {

// Bounds of the count refresh: attempts start for as long as they lie within
// kRetrySeconds whole seconds of the first, pausing between tries.
constexpr double kRetrySeconds = 5.0;
// Pairs of agreeing reads that may still claim more records than the file
// holds before the count is taken as the header says (a damaged file).
constexpr int kBeyondFileRereads = 2;

// Reads the 4 count bytes once. Raises CFileException; a file cut inside its
// first 8 bytes gives ENODATA.
int32_t ReadCountBytes(CFile& file) {
  unsigned char bytes[kCountSize];
  file.Seek(static_cast<int64_t>(kCountOffset), CFile::begin);
  if (file.Read(bytes, sizeof bytes) < sizeof bytes) {
    throw CFileException("read", file.GetFilePath(), ENODATA);
  }
  return GetInt32(bytes);
}

// Outcome of one lock-free look at the count.
enum class CountRead { kSettled, kMoving };

// Reads the count without any lock: an appender writes it with one 4-byte
// write after the records it covers, so two reads in a row that agree give a
// count that is not torn. A count that claims more records than the file
// holds is read again a few times (a torn value may look like that); after
// that it is taken as it stands and the block read finds the damage.
// Raises CFileException for a read error.
CountRead ReadCountSettled(CFile& file, uint16_t headLen, uint16_t recLen, int* rereads,
                           int32_t* count) {
  const int32_t first = ReadCountBytes(file);
  if (ReadCountBytes(file) != first) return CountRead::kMoving;
  if (first > 0 && recLen > 0 && *rereads < kBeyondFileRereads) {
    const uint64_t needed = uint64_t{headLen} + uint64_t(first) * recLen;
    if (file.GetLength() < needed) {
      ++*rereads;
      return CountRead::kMoving;
    }
  }
  *count = first;
  return CountRead::kSettled;
}

// 32 bytes moved or tested at a time. Record lengths vary by table, so
// calls of memcpy and memset would not be inlined: a few hundred bytes per
// slot cost less as plain vector loads and stores. The helpers are inlined
// into each build of FillSlots, so no vector crosses a call.
typedef unsigned long long Chunk __attribute__((vector_size(32)));

// ORs the n bytes at p into *acc.
__attribute__((always_inline)) inline void OrInto(Chunk* acc, const char* p, size_t n) {
  if (n < sizeof(Chunk)) {
    unsigned long long any = 0;
    for (size_t i = 0; i < n; ++i) any |= static_cast<unsigned char>(p[i]);
    (*acc)[0] |= any;
    return;
  }
  Chunk a, b = {}, c = {}, d = {}, x;
  memcpy(&a, p + n - sizeof(Chunk), sizeof a);
  size_t i = 0;
  for (; i + 4 * sizeof(Chunk) <= n; i += 4 * sizeof(Chunk)) {
    memcpy(&x, p + i, sizeof x);
    a |= x;
    memcpy(&x, p + i + sizeof(Chunk), sizeof x);
    b |= x;
    memcpy(&x, p + i + 2 * sizeof(Chunk), sizeof x);
    c |= x;
    memcpy(&x, p + i + 3 * sizeof(Chunk), sizeof x);
    d |= x;
  }
  for (; i + sizeof(Chunk) <= n; i += sizeof(Chunk)) {
    memcpy(&x, p + i, sizeof x);
    a |= x;
  }
  *acc |= a | b | c | d;
}

__attribute__((always_inline)) inline bool IsZero(const Chunk* acc) {
  return ((*acc)[0] | (*acc)[1] | (*acc)[2] | (*acc)[3]) == 0;
}

// Copies n bytes from src to dst (not overlapping).
__attribute__((always_inline)) inline void CopyRecord(char* dst, const char* src, size_t n) {
  if (n < sizeof(Chunk)) {
    memcpy(dst, src, n);
    return;
  }
  Chunk last, x;
  memcpy(&last, src + n - sizeof(Chunk), sizeof last);
  for (size_t i = 0; i + sizeof(Chunk) <= n; i += sizeof(Chunk)) {
    memcpy(&x, src + i, sizeof x);
    memcpy(dst + i, &x, sizeof x);
  }
  memcpy(dst + n - sizeof(Chunk), &last, sizeof last);
}

// Copies n records of length recLen, read end to end into packed, into
// slots 0 to n - 1 of buf, and makes every other byte of buf zero, whatever
// it held: the host owns the public buffer between reads and may have
// written anywhere in it. The bytes that must be zero are only read unless
// some are not: a clean buffer costs loads alone and keeps its cache lines
// clean. Built for AVX2 as well, chosen at load time where the processor
// has it.
__attribute__((target_clones("avx2", "default"))) void FillSlots(char* buf, const char* packed,
                                                                 int n, int recLen) {
  const size_t length = static_cast<size_t>(recLen);
  const size_t tail = CDBFOperate::kSlotSize - length;
  Chunk tails = {};
  for (int k = 0; k < n; ++k) {
    char* slot = buf + static_cast<size_t>(k) * CDBFOperate::kSlotSize;
    CopyRecord(slot, packed + static_cast<size_t>(k) * length, length);
    OrInto(&tails, slot + length, tail);
  }
  if (!IsZero(&tails)) {
    for (int k = 0; k < n; ++k) {
      memset(buf + static_cast<size_t>(k) * CDBFOperate::kSlotSize + length, 0, tail);
    }
  }
  const size_t used = static_cast<size_t>(n) * CDBFOperate::kSlotSize;
  Chunk rest = {};
  OrInto(&rest, buf + used, CDBFOperate::kRecordBufSize - used);
  if (!IsZero(&rest)) memset(buf + used, 0, CDBFOperate::kRecordBufSize - used);
}

}  // namespace

long CDBFOperate::GetTotalCounts() {
  m_csLock.Lock();
  int32_t count = m_lTotalCount;
  int rereads = 0;
  Backoff pause;
  const time_t t0 = time(nullptr);
  for (;;) {
    const time_t t1 = time(nullptr);
    bool retry = false;
    try {
      if (ReadCountSettled(m_File, m_nHeadLen, m_nRecLen, &rereads, &count) ==
          CountRead::kSettled) {
        m_nLastError = 0;
      } else {
        retry = true;  // an appender is rewriting the count: look again
      }
    } catch (const CFileException& e) {
      SetErrorText(m_szErrorMsg, e);
      m_nLastError = -1;
      // Only a lock conflict passes; any other error ends the refresh at once.
      retry = e.m_cause == CFileException::lockViolation;
    }
    // A clock set back ends the wait rather than stretching it.
    // At the bound a count still moving leaves the last known one in place.
    if (!retry || difftime(t1, t0) > kRetrySeconds || t1 < t0) break;
    pause.Wait();
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
    // n records of at most 512 bytes fit the read buffer.
    got = m_File.Read(m_pReadBuf.get(), static_cast<size_t>(n) * m_nRecLen);
  } catch (const CFileException& e) {
    // A failed block read leaves an empty buffer.
    FillSlots(m_szRecordBuf, nullptr, 0, m_nRecLen);
    SetErrorText(m_szErrorMsg, e);
    m_nLastError = -1;
    return 0;
  }
  // Writers put records before the count, so a read that ends early means a
  // damaged or cut file: only the whole records read are handed out, and a
  // part of a record never is.
  const int whole = static_cast<int>(got / m_nRecLen);
  FillSlots(m_szRecordBuf, m_pReadBuf.get(), whole, m_nRecLen);
  if (whole < n) {
    char text[kErrorMsgSize];
    snprintf(text, sizeof text,
             "bad table file %s: the header counts %d records but the file holds only %lld",
             m_File.GetFilePath().c_str(), static_cast<int>(m_lTotalCount),
             static_cast<long long>(next + whole));
    SetErrorText(m_szErrorMsg, text);
    m_nLastError = -1;
    return whole;
  }
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
