// Reconnection: ReOpen (new Connection object, table mapped again), ReOpenEx
// and IsOpenAlive (the held Connection object closed and opened again), the
// reconnection rule the reading operations apply after a database error, and
// the clearing of a leftover row limit.
#include <cstdio>
#include <cstring>

#include "platform/WinTime.h"
#include "sql/SQLOperate.h"
#include "sql/Statement.h"
#include "sql/Trace.h"

namespace {

constexpr long kReOpenTimeoutSeconds = 8;
constexpr uint32_t kReOpenPauseMs = 500;

// Closes connection when it is open; a missing object or a close that fails
// is of no interest to a caller that is about to open it again.
void CloseQuietly(const _ConnectionPtr& connection) {
  try {
    connection->Close();
  } catch (...) {
  }
}

}  // namespace

// Returns "{H+8:M:S:MS-strEvent}" for the UTC time st, without zero padding.
CString CSQLOperate::ReOpenTraceEntry(const SYSTEMTIME& st, const char* strEvent) {
  CString entry;
  entry.Format("{%d:%d:%d:%u-%s}", st.wHour + 8, st.wMinute, st.wSecond,
               static_cast<unsigned>(st.wMilliseconds), strEvent);
  return entry;
}

// Replaces the Connection object with a new one opened on m_strConnect and
// maps the table again, as Open does. Returns 1 on success, 0 when the
// connection cannot be opened, the table is gone or a database error occurs.
// The whole-table result set replaces any loaded window or rescan, so the
// window state goes with it: the next window fetch queries afresh.
int CSQLOperate::ReOpen() {
  CloseQuietly(m_pConnection);
  m_pConnection.Release();
  try {
    m_pConnection.CreateInstance();
    m_pConnection->PutConnectionString(m_strConnect);
    m_pConnection->Open(m_strConnect, "", "", -1);
    m_pConnection->PutCursorLocation(adUseClient);
    m_nFieldCount = 0;
    if (!SetTableFormat()) return 0;
    m_lCnt = 0;
    m_lCurRow = 0;
    SetInsertSQL();
    return 1;
  } catch (const _com_error&) {
    return 0;
  }
}

// Closes the held connection and makes up to nTimes attempts to open it again
// on m_strConnect, each with an 8-second timeout; appends one trace entry per
// attempt to m_strTrace (kept within its cap) and sleeps 500 ms after each
// failure. Returns 1 at the first success, 0 when all attempts fail or
// nTimes < 1. The field table, the result set and the counters are left as
// they were.
int CSQLOperate::ReOpenEx(int nTimes) {
  CloseQuietly(m_pConnection);
  for (int attempt = 0; attempt < nTimes; ++attempt) {
    SYSTEMTIME st;
    try {
      m_pConnection->PutConnectionTimeout(kReOpenTimeoutSeconds);
      m_pConnection->Open(m_strConnect, "", "", -1);
      GetSystemTime(&st);
      kestal::trace::Append(m_strTrace, ReOpenTraceEntry(st, "ReOpenSuccess"));
      m_pConnection->PutCursorLocation(adUseClient);
      return 1;
    } catch (const _com_error&) {
      GetSystemTime(&st);
      kestal::trace::Append(m_strTrace, ReOpenTraceEntry(st, "ReOpenException Sleep500"));
      Sleep(kReOpenPauseMs);
    }
  }
  return 0;
}

// Closes the held connection and opens it once more on m_strConnect with an
// 8-second timeout. Returns 1 when it opened, 0 otherwise; writes no trace.
int CSQLOperate::IsOpenAlive() {
  CloseQuietly(m_pConnection);
  try {
    m_pConnection->PutConnectionTimeout(kReOpenTimeoutSeconds);
    m_pConnection->Open(m_strConnect, "", "", -1);
    m_pConnection->PutCursorLocation(adUseClient);
    return 1;
  } catch (const _com_error&) {
    return 0;
  }
}

// The reconnection rule: the status as 8 lowercase hex digits of its 32-bit
// value; when that text contains "800", one ReOpenEx attempt. Returns
// ReOpenEx's result, or -1 when the rule did not call it.
int CSQLOperate::ReconnectAfter(const _com_error& e) {
  char status[32];
  // Through uint32_t first: a negative HRESULT widened straight to the 64-bit
  // unsigned long would print 16 digits.
  std::snprintf(status, sizeof(status), "%08lx",
                static_cast<unsigned long>(static_cast<uint32_t>(e.Error())));
  if (std::strstr(status, "800") == nullptr) return -1;
  return ReOpenEx(1);
}

// Sends "set rowcount 0" so that later statements see every row again. Any
// failure is swallowed: the caller is already on its way out.
void CSQLOperate::ClearRowLimit() {
  try {
    _CommandPtr cmd = kestal::statement::NewCommand(m_pConnection);
    cmd->PutCommandText("set rowcount 0");
    cmd->Execute(adCmdText);
  } catch (...) {
  }
}
