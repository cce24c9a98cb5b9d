// The bridge's claim on its target table, per engine: a lock file beside a
// SQLite database, a session-owned lock on a server. The claim connection is
// the claim's alone; it is never used for copying.
#include "tools/BridgeClaim.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "sql/db/ConnectionString.h"
#include "tools/SqlTable.h"
#include "tools/ToolError.h"

namespace kestal::tool {
namespace {

// Looks at a claim held on the server before taking it as another bridge's.
constexpr int kClaimAttempts = 8;
constexpr int kClaimRetryMs = 150;

std::string Lower(const std::string& s) {
  std::string out = s;
  for (char& c : out) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return out;
}

// The table name as a file name part: letters, digits and '_' kept, every
// other byte as %XX, so that two names never share a lock file.
std::string FileNamePart(const std::string& table) {
  std::string out;
  for (unsigned char c : Lower(table)) {
    if (isalnum(c) || c == '_') {
      out += static_cast<char>(c);
    } else {
      char hex[4];
      snprintf(hex, sizeof hex, "%%%02X", c);
      out += hex;
    }
  }
  return out;
}

bool IsSqlServerProvider(const std::string& provider) {
  const std::string p = Lower(provider);
  return p == "sqloledb" || p.rfind("sqloledb.", 0) == 0 || p.rfind("msoledbsql", 0) == 0 ||
         p.rfind("sqlncli", 0) == 0;
}

}  // namespace

long long ClaimKey(const std::string& table) {
  // FNV-1a, 64 bits.
  unsigned long long h = 14695981039346656037ULL;
  for (unsigned char c : "kestal bridge " + Lower(table)) {
    h ^= c;
    h *= 1099511628211ULL;
  }
  return static_cast<long long>(h);
}

TableClaim::TableClaim(const std::string& connect, const std::string& table,
                       const std::function<void(const std::string&)>& note)
    : connect_(connect), table_(table) {
  kestal::db::ConnectionString cs;
  try {
    cs = kestal::db::ConnectionString::Parse(connect);
  } catch (const _com_error& e) {
    throw ToolError("cannot claim the table: " + DescribeComError(e));
  }
  const std::string provider = Lower(cs.Get("Provider"));
  if (provider == "sqlite") {
    kind_ = Kind::kSqlite;
    std::string path = cs.Get("Data Source");
    if (path.empty()) path = cs.Get("Database");
    const std::string lock = path + ".bridge-" + FileNamePart(table) + ".lock";
    fd_ = open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) {
      throw ToolError("cannot open the claim file '" + lock + "': " + strerror(errno));
    }
    if (flock(fd_, LOCK_EX | LOCK_NB) != 0) {
      if (errno == EWOULDBLOCK) throw ClaimError("another bridge is copying into " + table);
      throw ToolError("cannot lock the claim file '" + lock + "': " + strerror(errno));
    }
    return;
  }
  if (provider == "postgresql" || provider == "postgres") {
    kind_ = Kind::kPostgres;
  } else if (IsSqlServerProvider(provider)) {
    kind_ = Kind::kSqlServer;
  } else {
    note("the table cannot be claimed on this engine: run only one bridge into " + table);
    return;
  }
  // A bridge killed a moment ago leaves its claim until the server has seen
  // its connection close; a claim still held after that is another bridge's.
  bool taken = false;
  for (int attempt = 0; attempt < kClaimAttempts && !taken; ++attempt) {
    if (attempt > 0) usleep(kClaimRetryMs * 1000);
    try {
      taken = TakeOnServer();
    } catch (const _com_error& e) {
      throw ToolError("cannot claim the table " + table + ": " + DescribeComError(e));
    }
  }
  if (!taken) throw ClaimError("another bridge is copying into " + table);
}

TableClaim::~TableClaim() {
  if (fd_ >= 0) close(fd_);  // releases the flock
  try {
    if (connection_ && connection_->GetState() == adStateOpen) connection_->Close();
  } catch (const _com_error&) {
    // The lock goes with the connection either way.
  }
}

bool TableClaim::TakeOnServer() {
  // A lost connection is dropped whole; a fresh one takes the lock.
  connection_.CreateInstance();
  connection_->PutConnectionTimeout(8);
  connection_->Open(CString(connect_));
  std::string sql;
  if (kind_ == Kind::kPostgres) {
    sql = "select case when pg_try_advisory_lock(" + std::to_string(ClaimKey(table_)) +
          ") then 1 else 0 end as claimed";
  } else {
    // sp_getapplock answers 0 or 1 when granted, below 0 otherwise.
    sql = "declare @r int; exec @r = sp_getapplock @Resource = " +
          SqlQuoted("kestal bridge " + Lower(table_)) +
          ", @LockMode = 'Exclusive', @LockOwner = 'Session', @LockTimeout = 0; "
          "select case when @r >= 0 then 1 else 0 end as claimed";
  }
  _RecordsetPtr rs = connection_->Execute(CString(sql));
  return rs->GetState() == adStateOpen && rs->GetRecordCount() > 0 &&
         rs->GetCollect("claimed").ToString().str() == "1";
}

bool TableClaim::Keep() {
  if (kind_ != Kind::kPostgres && kind_ != Kind::kSqlServer) return true;
  try {
    connection_->Execute(CString("select 1 as alive"));
    return true;
  } catch (const _com_error&) {
    // The claim connection is gone, and the lock with it: take it again.
  }
  bool taken = false;
  try {
    taken = TakeOnServer();
  } catch (const _com_error&) {
    return false;
  }
  if (!taken) {
    throw ClaimError("another bridge is copying into " + table_ +
                     " (it took the table while the database was unreachable)");
  }
  return true;
}

}  // namespace kestal::tool
