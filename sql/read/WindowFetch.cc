// GetRecordsetForBack: follows a table by key, one window of rows at a time,
// and fetches a window only when its keys are contiguous (or when the same
// gap has been seen for the tenth call in a row). Every call leaves a trace of
// its steps and their milliseconds in m_strTrace (within its cap, sql/Trace.h).
// A loaded window lives as long as its result set: whatever replaces
// m_pRecordset (Open, ReOpen, the table cursor) sets m_lCnt to 0 with it.
#include <cstdint>
#include <stdexcept>

#include "platform/WinTime.h"
#include "sql/SQLOperate.h"
#include "sql/Statement.h"
#include "sql/Trace.h"
#include "sql/read/ReadHelpers.h"

using kestal::read::CloseQuietly;
using kestal::read::ElapsedSince;
using kestal::read::IsKeyText;
using kestal::read::KeyNumber;
using kestal::read::PlaceOnRow;
using kestal::read::ReadText;
using kestal::statement::NewCommand;
// Every piece of m_strTrace goes through its cap.
namespace trace = kestal::trace;

namespace {

// A key as a char column gives it: the number with blanks around it. The
// blanks go; what is left must be a plain decimal number to be placed into a
// statement unquoted.
CString KeyWithoutBlanks(const CString& key) {
  const std::string& s = key.str();
  size_t first = 0;
  size_t last = s.size();
  while (first < last && (s[first] == ' ' || s[first] == '\t')) ++first;
  while (last > first && (s[last - 1] == ' ' || s[last - 1] == '\t')) --last;
  return CString(s.substr(first, last - first));
}

// Gap detections in a row after which the window is fetched anyway.
constexpr int kGapRetries = 10;

// "发现%s-%s之间rec_num不连续(%d条),retryTime=%d" and the serialnum form, GBK.
constexpr const char* kGapRetryRecNum =
    "\xB7\xA2\xCF\xD6%s-%s\xD6\xAE\xBC\xE4rec_num\xB2\xBB\xC1\xAC\xD0\xF8(%lld\xCC\xF5),retryTime=%"
    "d";
constexpr const char* kGapRetrySerial =
    "\xB7\xA2\xCF\xD6%s-%s\xD6\xAE\xBC\xE4serialnum\xB2\xBB\xC1\xAC\xD0\xF8(%lld\xCC\xF5),"
    "retryTime=%d";
// "发现%s-%s之间rec_num不连续(%d条)" and the serialnum form, GBK: the final
// message of the tenth detection, which fetches past the gap.
constexpr const char* kGapFinalRecNum =
    "\xB7\xA2\xCF\xD6%s-%s\xD6\xAE\xBC\xE4rec_num\xB2\xBB\xC1\xAC\xD0\xF8(%lld\xCC\xF5)";
constexpr const char* kGapFinalSerial =
    "\xB7\xA2\xCF\xD6%s-%s\xD6\xAE\xBC\xE4serialnum\xB2\xBB\xC1\xAC\xD0\xF8(%lld\xCC\xF5)";

// The fetch statement and its trace text for one key column.
struct FetchText {
  CString sql;
  CString trace;
};

// Builds the fetch of keys above fromKey: up to maxKey when bounded, with the
// condition cond when it is not empty.
FetchText BuildFetch(bool byRecNum, const CString& table, const CString& fromKey,
                     const CString& cond, const CString& maxKey, bool bounded) {
  const char* t = table.c_str();
  const char* from = fromKey.c_str();
  const char* c = cond.c_str();
  const char* max = maxKey.c_str();
  FetchText out;
  if (byRecNum) {
    if (cond.IsEmpty() && bounded) {
      out.sql.Format("select * from %s where rec_num>%s and rec_num<=%s order by rec_num", t, from,
                     max);
      out.trace.Format("[2:%s where rec_num>%s and rec_num<=%s order by rec_num]", t, from, max);
    } else if (cond.IsEmpty()) {
      out.sql.Format("select * from %s where rec_num>%s order by rec_num", t, from);
      out.trace.Format("[2:%s where rec_num>%s order by rec_num]", t, from);
    } else if (bounded) {
      out.sql.Format(
          "select * from %s where rec_num>%s and ( %s ) and rec_num<=%s order by rec_num", t, from,
          c, max);
      out.trace.Format("[2:%s where rec_num>%s and ( %s ) and rec_num<=%s order by rec_num]", t,
                       from, c, max);
    } else {
      out.sql.Format("select * from %s where rec_num>%s and ( %s ) order by rec_num", t, from, c);
      out.trace.Format("[2:%s where rec_num>%s and ( %s ) order by rec_num]", t, from, c);
    }
    return out;
  }
  if (cond.IsEmpty() && bounded) {
    out.sql.Format("select * from %s where serialnum>%s and serialnum<=%s order by serialnum", t,
                   from, max);
    out.trace.Format("[2:%s where serialnum>%s and serialnum<=%s order by serialnum]", t, from,
                     max);
  } else if (cond.IsEmpty()) {
    out.sql.Format("select * from %s where serialnum>%s  order by serialnum", t, from);
    out.trace.Format("[2:%s where serialnum>%s order by serialnum]", t, from);
  } else if (bounded) {
    out.sql.Format(
        "select * from %s where serialnum>%s and ( %s ) and serialnum<=%s order by serialnum", t,
        from, c, max);
    out.trace.Format("[2:%s where serialnum>%s and ( %s ) and serialnum<=%s order by serialnum]", t,
                     from, c, max);
  } else {
    out.sql.Format("select * from %s where serialnum>%s and ( %s ) order by serialnum", t, from, c);
    out.trace.Format("[2:%s where serialnum>%s and ( %s ) order by serialnum]", t, from, c);
  }
  return out;
}

}  // namespace

// Returns the number of rows of the window now open (cursor on m_lCurRow); 0
// when there is nothing to deliver or after a database error followed by a
// successful reconnection; kGapCode while keys are missing in the window
// (m_strGapInfo says which); -1 after any other failure, also for a key that
// is not a decimal number once the blanks around it are dropped.
//
// "set rowcount" is connection state: whatever path the call takes after
// setting the limit, the limit is cleared again before it returns, so that no
// later statement of this object is cut short by it.
int CSQLOperate::GetRecordsetForBack(CString strFilter, CString strFromKey, int nCount,
                                     CString strTableTag) {
  m_strTrace = "";
  bool limitSet = false;
  try {
    _CommandPtr command = NewCommand(m_pConnection);
    m_strGapInfo = "";
    m_strLastKey = "";

    if (m_lCnt == 0) {
      // The key goes into the statements unquoted: only a plain decimal
      // number may go there. Blanks around it (a char key column) are dropped.
      strFromKey = KeyWithoutBlanks(strFromKey);
      if (!IsKeyText(strFromKey)) throw std::invalid_argument("key is not a decimal number");
      const bool byRecNum = strTableTag.Compare("CJK") == 0;
      const char* table = m_strTableName.c_str();

      uint32_t tick = GetTickCount();
      CloseQuietly(m_pRecordset);
      CString closeText;
      closeText.Format("Close Count=%d}", ElapsedSince(tick));

      const int64_t upper = m_nRetryCount == 0 ? static_cast<int64_t>(KeyNumber(strFromKey)) +
                                                     (nCount < 100 ? 100 : nCount)
                                               : static_cast<int64_t>(KeyNumber(m_strGapStart));
      CString countSql;
      CString countTrace;
      const long long up = static_cast<long long>(upper);
      if (byRecNum) {
        countSql.Format(
            "select count(*) as CurRecCnt,max(rec_num) as maxCurRecNum from %s where rec_num>%s "
            "and "
            "rec_num<=%lld",
            table, strFromKey.c_str(), up);
        countTrace.Format("[1:%s where rec_num>%s and rec_num<=%lld]", table, strFromKey.c_str(),
                          up);
      } else {
        countSql.Format(
            "select count(*) as CurRecCnt,max(serialnum) as maxCurRecNum from %s where "
            "serialnum>%s and serialnum<=%lld ",
            table, strFromKey.c_str(), up);
        countTrace.Format("[1:%s where serialnum>%s and serialnum<=%lld]", table,
                          strFromKey.c_str(), up);
      }

      tick = GetTickCount();
      m_pRecordset.CreateInstance();
      trace::AppendFormat(m_strTrace, "[%s]->[Create Count=%d]->%s", closeText.c_str(),
                          ElapsedSince(tick), countTrace.c_str());

      tick = GetTickCount();
      m_pRecordset->Open(countSql, m_pConnection, adOpenStatic, adLockReadOnly, adCmdText);
      trace::AppendFormat(m_strTrace, " {Count=%d}", ElapsedSince(tick));
      m_pRecordset->MoveFirst();

      // Reading the count and the continuity test have handlers of their own:
      // a failure here also ends a gap series.
      CString maxText;
      try {
        CString countText = ReadText(m_pRecordset, "CurRecCnt");
        const int32_t count = KeyNumber(countText);
        maxText =
            count > 0 ? KeyWithoutBlanks(ReadText(m_pRecordset, "maxCurRecNum")) : CString("0");
        // The highest key goes into the fetch unquoted as well: table text
        // that is not a number (a char key column) is refused, not run.
        if (!IsKeyText(maxText)) throw std::invalid_argument("highest key is not a decimal number");
        trace::AppendFormat(m_strTrace, "--->[CurRecCnt=%s,maxCurRecNum=%s]", countText.c_str(),
                            maxText.c_str());
        CloseQuietly(m_pRecordset);
        m_pRecordset.Release();

        const int64_t range =
            static_cast<int64_t>(KeyNumber(maxText)) - static_cast<int64_t>(KeyNumber(strFromKey));
        if (count <= 0) {
          m_nRetryCount = 0;
          m_strGapInfo = "";
          m_lCnt = 0;
          return 0;
        }
        if (range != count) {
          if (m_nRetryCount == 0) m_strGapStart = maxText;
          ++m_nRetryCount;
          const long long missing = static_cast<long long>(range - count);
          if (m_nRetryCount < kGapRetries) {
            m_lCnt = 0;
            m_strGapInfo.Format(byRecNum ? kGapRetryRecNum : kGapRetrySerial, strFromKey.c_str(),
                                maxText.c_str(), missing, m_nRetryCount);
            return kGapCode;
          }
          m_nRetryCount = 0;
          m_strGapInfo.Format(byRecNum ? kGapFinalRecNum : kGapFinalSerial, strFromKey.c_str(),
                              maxText.c_str(), missing);
        }
      } catch (const _com_error& e) {
        m_nRetryCount = 0;
        m_strGapInfo = "";
        trace::Append(m_strTrace, "--->[0]");
        tick = GetTickCount();
        const int reopened = ReconnectAfter(e);
        if (reopened > 0)
          trace::AppendFormat(m_strTrace, "{ ReOpen(Count=%d)}", ElapsedSince(tick));
        m_lCnt = 0;
        return reopened > 0 ? 0 : -1;
      } catch (...) {
        m_nRetryCount = 0;
        m_strGapInfo = "";
        trace::Append(m_strTrace, "===>[0]");
        m_lCnt = 0;
        return -1;
      }

      m_nRetryCount = 0;
      CString cond;
      FormatSQL(cond, strFilter);
      const bool bounded = KeyNumber(maxText) >= 0;
      const FetchText fetch =
          BuildFetch(byRecNum, m_strTableName, strFromKey, cond, maxText, bounded);

      CloseQuietly(m_pRecordset);
      m_pRecordset.Release();
      tick = GetTickCount();
      CString limit;
      limit.Format("set rowcount %d", nCount);
      command->PutCommandText(limit);
      limitSet = true;
      command->Execute(adCmdText);
      trace::Append(m_strTrace, fetch.trace);
      m_pRecordset.CreateInstance();
      m_pRecordset->Open(fetch.sql, m_pConnection, adOpenStatic, adLockReadOnly, adCmdText);
      m_lCnt = static_cast<int32_t>(m_pRecordset->GetRecordCount());
      // Only the tenth look leaves a message here: note the keys it passes.
      if (!m_strGapInfo.IsEmpty()) NoteSkippedKeys(strFromKey, maxText, byRecNum);
      trace::AppendFormat(m_strTrace, "--->[m_lCnt=%d {Count=%d}]", m_lCnt, ElapsedSince(tick));
      if (m_lCnt == 0) {
        if (bounded) m_strLastKey = maxText;
        ClearRowLimit();
        return 0;
      }
      m_lCurRow = 0;
      command->PutCommandText("set rowcount 0");
      command->Execute(adCmdText);
      limitSet = false;
    }

    if (static_cast<int64_t>(m_lCurRow) + 1 <= m_lCnt) {
      PlaceOnRow(m_pRecordset, m_lCurRow);
      return m_lCnt;
    }
    m_lCnt = 0;
    return 0;
  } catch (const _com_error& e) {
    if (limitSet) ClearRowLimit();
    trace::Append(m_strTrace, "--->[2:0]");
    const uint32_t tick = GetTickCount();
    const int reopened = ReconnectAfter(e);
    if (reopened > 0) {
      trace::AppendFormat(m_strTrace, "--->[ReOpen{Count=%d}]", ElapsedSince(tick));
      // A new session starts without a limit; clear it once more in case the
      // layer kept the setting with the connection object.
      if (limitSet) ClearRowLimit();
    }
    m_lCnt = 0;
    return reopened > 0 ? 0 : -1;
  } catch (...) {
    if (limitSet) ClearRowLimit();
    trace::Append(m_strTrace, "===>[2:0]");
    m_lCnt = 0;
    return -1;
  }
}
