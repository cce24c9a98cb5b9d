// The order buffer: one block of the C heap in which a batch of records is
// collected, as INSERT statements or as lines of the bulk-load file, until
// ExecBatchInsert sends it. The object owns the block; the destructor frees
// what FreeOrderBuff did not. Bytes past m_lOrderBuffLen are always 0, so the
// content is also a NUL-terminated text.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sql/SQLOperate.h"
#include "sql/write/ValueList.h"

using kestal::sqlwrite::AppendValueList;
using kestal::sqlwrite::ValueForm;

namespace {

// Entries of one batch may fill the block but for its terminating NUL.
constexpr int kMaxBatchBytes = CSQLOperate::kOrderBuffSize - 1;

}  // namespace

// Allocates the buffer, all zero and empty. A buffer already held is kept and
// emptied. Returns 1, or 0 when the block cannot be allocated.
int CSQLOperate::AllocOrderBuff() {
  if (m_pOrderBuff == nullptr) {
    m_pOrderBuff = static_cast<char*>(malloc(kOrderBuffSize));
    if (m_pOrderBuff == nullptr) return 0;
  }
  // The whole block once: from here on bytes past the text stay 0.
  memset(m_pOrderBuff, 0, kOrderBuffSize);
  m_lOrderBuffLen = 0;
  return 1;
}

// Frees the buffer if one is held. Returns 1 in every case.
int CSQLOperate::FreeOrderBuff() {
  free(m_pOrderBuff);
  m_pOrderBuff = nullptr;
  m_lOrderBuffLen = 0;
  return 1;
}

// Drops the current batch: every byte 0, nothing in use. No buffer, no effect.
void CSQLOperate::BuffInit() {
  if (m_pOrderBuff == nullptr) return;
  // Bytes past the text are 0 already, so clearing the text (as far as the
  // length or the first NUL reaches, whichever is further) clears the block;
  // a batch is a small part of it. A length out of range clears it all.
  size_t used = kOrderBuffSize;
  if (m_lOrderBuffLen >= 0 && m_lOrderBuffLen < kOrderBuffSize) {
    used = std::max(static_cast<size_t>(m_lOrderBuffLen),
                    strnlen(m_pOrderBuff, static_cast<size_t>(kOrderBuffSize)));
  }
  memset(m_pOrderBuff, 0, used);
  m_lOrderBuffLen = 0;
}

// Appends pRecord to the batch: as a numbered INSERT (nMode 1), as a line of
// the bulk-load file (nMode 2) or as a plain INSERT (any other). Returns 1
// when appended; 0, with the buffer unchanged, when no buffer is held, the
// entry does not fit, or a mode-2 text value holds ',', CR or LF.
int CSQLOperate::AddInsertRecordToBuff(char* pRecord, int nMode, int nBaseNum) {
  if (m_pOrderBuff == nullptr || pRecord == nullptr) return 0;
  const ValueForm form = nMode == 1   ? ValueForm::kNumbered
                         : nMode == 2 ? ValueForm::kBulkLine
                                      : ValueForm::kQuoted;
  // One scratch string per thread, reused so that a record costs no
  // allocation once it has grown to the longest entry.
  thread_local std::string entry;
  entry.clear();
  if (nMode != 2) {
    // Statement heads and table names are written as C strings.
    entry += m_strInsertSQL.c_str();
    entry += nMode == 1 ? " " : " values (";
  }
  const size_t valuesStart = entry.size();
  if (!AppendValueList(m_FieldInfo, m_nFieldCount, pRecord, form, nBaseNum, entry)) return 0;
  // The value list, too, counts only up to its first NUL (a field name may
  // carry one); the entry itself then holds none.
  const size_t nul = entry.find('\0', valuesStart);
  if (nul != std::string::npos) entry.resize(nul);
  if (nMode == 1) {
    entry += " from ";
    entry += m_strTableName.c_str();
    entry += " with (holdlock);";
  } else if (nMode == 2) {
    entry += ",\r\n";
  } else {
    entry += ");";
  }
  if (entry.size() > static_cast<size_t>(kMaxBatchBytes)) return 0;
  const int length = static_cast<int>(entry.size());
  if (m_lOrderBuffLen < 0 || length > kMaxBatchBytes - m_lOrderBuffLen) return 0;

  memcpy(m_pOrderBuff + m_lOrderBuffLen, entry.c_str(), static_cast<size_t>(length));
  m_lOrderBuffLen += length;
  m_pOrderBuff[m_lOrderBuffLen] = '\0';
  ++m_lCurrentPos;
  return 1;
}
