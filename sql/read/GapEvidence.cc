// Evidence for holding a gap: on PostgreSQL, pg_current_snapshot() lists the
// transactions in flight (xip). A transaction in the list of the snapshot
// taken when a gap was first seen, and still in the list now, may yet commit
// the missing keys; once none is, the gap is for good as far as the engine
// can tell. A transaction counts from its first write (when it gets its
// transaction number): one that only reads before inserting is not seen.
#include <strings.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

#include "sql/LateWatch.h"
#include "sql/db/ConnectionString.h"
#include "sql/read/ReadHelpers.h"

namespace kestal {
namespace {

// Reads an unsigned decimal number at *p, moving p past it; false without
// digits.
bool ReadNumber(const char** p, uint64_t* out) {
  const char* s = *p;
  if (*s < '0' || *s > '9') return false;
  uint64_t v = 0;
  for (; *s >= '0' && *s <= '9'; ++s) {
    const uint64_t digit = static_cast<uint64_t>(*s - '0');
    if (v > (UINT64_MAX - digit) / 10) return false;
    v = v * 10 + digit;
  }
  *p = s;
  *out = v;
  return true;
}

}  // namespace

bool ParseTxSnapshot(const std::string& text, TxSnapshot* out) {
  TxSnapshot s;
  const char* p = text.c_str();
  if (!ReadNumber(&p, &s.xmin) || *p++ != ':') return false;
  if (!ReadNumber(&p, &s.xmax) || *p++ != ':') return false;
  if (s.xmin > s.xmax) return false;
  while (*p != '\0') {
    uint64_t x = 0;
    if (!ReadNumber(&p, &x)) return false;
    if (x < s.xmin || x >= s.xmax) return false;
    if (!s.xip.empty() && x <= s.xip.back()) return false;
    s.xip.push_back(x);
    if (*p == ',') {
      ++p;
      if (*p == '\0') return false;
    } else if (*p != '\0') {
      return false;
    }
  }
  *out = std::move(s);
  return true;
}

bool AnyStillInFlight(const TxSnapshot& first, const TxSnapshot& now) {
  for (uint64_t x : first.xip) {
    // Below now's xmin every transaction has ended; otherwise a transaction
    // numbered before now's xmax runs exactly when it is in now's list.
    if (x < now.xmin) continue;
    if (x >= now.xmax) return true;
    for (uint64_t y : now.xip) {
      if (y == x) return true;
    }
  }
  return false;
}

bool ShowsTransactionsInFlight(const CSQLOperate& sql) {
  std::string provider;
  try {
    provider = db::ConnectionString::Parse(sql.m_strConnect.str()).Get("Provider");
  } catch (...) {
    return false;  // a string the connection could not have opened either
  }
  if (strncasecmp(provider.c_str(), "postgres", 8) == 0) return true;
  if (provider.empty() || strcasecmp(provider.c_str(), "sqlite") == 0) return false;
  if (sql.m_pConnection == nullptr) return false;
  // Through ODBC the server is whatever the driver reached: ask it. Only
  // PostgreSQL answers; any other server refuses the function.
  try {
    sql.m_pConnection->Execute("select pg_current_snapshot() as snap");
    return true;
  } catch (const _com_error&) {
    return false;
  }
}

TxSnapshot TakeTxSnapshot(CSQLOperate& sql) {
  _RecordsetPtr rs = sql.m_pConnection->Execute("select pg_current_snapshot() as snap");
  const CString text = kestal::read::ReadText(rs, "snap");
  TxSnapshot s;
  if (!ParseTxSnapshot(text.str(), &s)) {
    throw _com_error(kestal::db::kStatementError, CString("not a transaction snapshot: ") + text);
  }
  return s;
}

TxSnapshot TakeStartSnapshot(CSQLOperate& sql) {
  // Autocommit: the number is drawn and its transaction completed at once,
  // which moves the snapshot's xmax past every number drawn before it.
  sql.m_pConnection->Execute("select pg_current_xact_id() as xid");
  return TakeTxSnapshot(sql);
}

int64_t WallClockMs() {
  using std::chrono::duration_cast;
  using std::chrono::milliseconds;
  using std::chrono::system_clock;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

}  // namespace kestal
