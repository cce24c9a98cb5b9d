// Keys passed over by the window fetch: when GetRecordsetForBack delivers a
// window at the tenth look of a gap, the keys of that window that the fetch
// did not return are kept as runs (first, last, when) until the host takes
// them with GetSkippedKeys. The window fetch itself is unchanged: the runs
// are read from the client-side result it already holds, without a
// statement, and nothing here can make the fetch fail.
//
// The runs cover the keys from after strFromKey up to the last key the fetch
// returned: keys above it are counted again by the next call, so they are
// not passed over yet. With a filter, the keys of rows the filter turned
// away are among the runs too (the fetch cannot tell them apart).
#include <chrono>
#include <cstdlib>

#include "sql/SQLOperate.h"
#include "sql/read/ReadHelpers.h"

using kestal::read::ReadText;

namespace {

// Milliseconds since 1970-01-01 UTC.
int64_t NowMs() {
  using std::chrono::duration_cast;
  using std::chrono::milliseconds;
  using std::chrono::system_clock;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

// The key of text (leading blanks allowed, as the engines pad char keys).
int64_t KeyOf(const CString& text) {
  return std::strtoll(text.c_str(), nullptr, 10);
}

}  // namespace

std::vector<SKIPPEDKEYS> CSQLOperate::GetSkippedKeys(bool bClear) {
  std::vector<SKIPPEDKEYS> out;
  if (bClear) {
    out.swap(m_skippedKeys);
  } else {
    out = m_skippedKeys;
  }
  return out;
}

void CSQLOperate::NoteSkippedKeys(const CString& strFromKey, const CString& strMaxKey,
                                  bool byRecNum) noexcept {
  try {
    const char* column = byRecNum ? "rec_num" : "serialnum";
    const int64_t when = NowMs();
    std::vector<SKIPPEDKEYS> runs;
    int64_t prev = KeyOf(strFromKey);
    int64_t end = KeyOf(strMaxKey);
    if (m_lCnt > 0) {
      // The result is ordered by key: every step over more than one key
      // passes keys that have no row.
      m_pRecordset->MoveFirst();
      for (int32_t i = 0; i < m_lCnt; ++i) {
        const int64_t key = KeyOf(ReadText(m_pRecordset, column));
        if (key > prev + 1) runs.push_back({prev + 1, key - 1, when});
        if (key > prev) prev = key;
        m_pRecordset->MoveNext();
      }
      end = prev;
    }
    if (end > prev) runs.push_back({prev + 1, end, when});
    for (const SKIPPEDKEYS& r : runs) {
      if (m_skippedKeys.size() >= kMaxSkippedRuns) {
        m_skippedKeys.erase(m_skippedKeys.begin());
        ++m_lSkippedDropped;
      }
      m_skippedKeys.push_back(r);
    }
  } catch (...) {
    // A key that cannot be read leaves the list as it was: the window is
    // delivered as the fetch found it, and the caller places the cursor
    // again before handing it out.
  }
}
