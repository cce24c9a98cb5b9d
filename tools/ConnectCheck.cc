// Connection-string checks of the tool. The key table below is the one
// place that knows which keys each provider reads; extend it with a
// provider's row.
#include "tools/ConnectCheck.h"

#include <strings.h>
#include <sys/stat.h>

#include <vector>

#include "sql/db/ComError.h"
#include "sql/db/ConnectionString.h"
#include "tools/SqlTable.h"
#include "tools/ToolError.h"

namespace kestal::tool {
namespace {

using kestal::db::ConnectionString;

const char kAdoForm[] =
    "'Provider=PostgreSQL;Server=HOST;Port=5432;Database=DB;User ID=U;Password=P' or "
    "'Provider=SQLite;Data Source=FILE'";

// libpq's connection keywords, which the PostgreSQL engine passes through.
const char* const kLibpqKeys[] = {"host",
                                  "hostaddr",
                                  "port",
                                  "dbname",
                                  "user",
                                  "password",
                                  "passfile",
                                  "channel_binding",
                                  "connect_timeout",
                                  "client_encoding",
                                  "options",
                                  "application_name",
                                  "fallback_application_name",
                                  "keepalives",
                                  "keepalives_idle",
                                  "keepalives_interval",
                                  "keepalives_count",
                                  "tcp_user_timeout",
                                  "sslmode",
                                  "requiressl",
                                  "sslcompression",
                                  "sslcert",
                                  "sslkey",
                                  "sslpassword",
                                  "sslcertmode",
                                  "sslrootcert",
                                  "sslcrl",
                                  "sslcrldir",
                                  "sslsni",
                                  "requirepeer",
                                  "ssl_min_protocol_version",
                                  "ssl_max_protocol_version",
                                  "gssencmode",
                                  "krbsrvname",
                                  "gsslib",
                                  "gssdelegation",
                                  "service",
                                  "target_session_attrs",
                                  "load_balance_hosts",
                                  "replication",
                                  "require_auth"};

struct ProviderKeys {
  std::vector<const char*> names;  // providers, any case
  std::vector<const char*> keys;   // the keys the engine reads, any case
  bool libpq = false;              // libpq's keywords pass through
  bool any = false;                // every key passes through (ODBC)
};

// The known keys of each provider. A provider without a row is not checked.
const std::vector<ProviderKeys>& Table() {
  static const std::vector<ProviderKeys> table = {
      {{"SQLite"},
       {"Provider", "Data Source", "Database", "Create", "Mode", "Password File"},
       false,
       false},
      {{"PostgreSQL", "Postgres"},
       {"Provider", "Server", "Data Source", "Host", "Port", "Database", "Initial Catalog",
        "User ID", "UID", "User", "Password", "PWD", "Password File", "Command Timeout"},
       true,
       false},
      {{"ODBC", "MSDASQL"}, {}, false, true},
  };
  return table;
}

bool Same(const std::string& a, const char* b) {
  return strcasecmp(a.c_str(), b) == 0;
}

// True for text that reads as a libpq conninfo ("host=x dbname=y") or URI.
bool LooksLikeLibpq(const std::string& text) {
  if (text.rfind("postgres://", 0) == 0 || text.rfind("postgresql://", 0) == 0) return true;
  if (text.find(';') != std::string::npos) return false;
  const size_t eq = text.find('=');
  if (eq == std::string::npos) return false;
  const std::string first = text.substr(0, eq);
  for (const char* key : kLibpqKeys) {
    if (Same(first, key) && text.find(' ', eq) != std::string::npos) return true;
  }
  return false;
}

ConnectionString Parsed(const std::string& connect) {
  try {
    return ConnectionString::Parse(connect);
  } catch (const _com_error& e) {
    throw UsageError("the connection string is not of the form " + std::string(kAdoForm) + ": " +
                     e.Description().str());
  }
}

// The string again from its pairs, values quoted where they need it.
std::string Join(const ConnectionString& cs) {
  std::string out;
  for (const auto& [key, value] : cs.Pairs()) {
    if (!out.empty()) out += ';';
    out += key + "=";
    const bool plain = value.find_first_of(";='\"") == std::string::npos &&
                       (value.empty() || (value.front() != ' ' && value.back() != ' '));
    if (plain) {
      out += value;
    } else {
      out += '"';
      for (char c : value) out += c == '"' ? std::string("\"\"") : std::string(1, c);
      out += '"';
    }
  }
  return out;
}

}  // namespace

void CheckConnectString(const std::string& connect) {
  if (LooksLikeLibpq(connect)) {
    throw UsageError("'" + kestal::db::MaskPasswords(connect) +
                     "' is a libpq connection string; write it as " + kAdoForm);
  }
  const ConnectionString cs = Parsed(connect);
  const std::string provider = cs.Get("Provider");
  for (const ProviderKeys& row : Table()) {
    bool match = false;
    for (const char* name : row.names) match = match || Same(provider, name);
    if (!match) continue;
    if (row.any) return;
    std::string unknown;
    bool after_password = false;
    for (const auto& pair : cs.Pairs()) {
      bool known = false;
      for (const char* key : row.keys) known = known || Same(pair.first, key);
      for (const char* key : kLibpqKeys) known = known || (row.libpq && Same(pair.first, key));
      // An unknown key right after a password is most likely the rest of a
      // password holding ';': never shown.
      if (!known && after_password) {
        throw UsageError(
            "the connection string has an unknown key after the password; put a password "
            "holding ';' in double quotes");
      }
      if (!known) unknown += (unknown.empty() ? "'" : ", '") + pair.first + "'";
      after_password = Same(pair.first, "Password") || Same(pair.first, "PWD");
    }
    if (!unknown.empty()) {
      std::string list;
      for (const char* key : row.keys) list += (list.empty() ? "" : ", ") + std::string(key);
      throw UsageError("the connection string has the unknown key " + unknown + "; " + provider +
                       " knows " + list + (row.libpq ? " and libpq's keywords" : ""));
    }
    return;
  }
}

std::string ReadOnlyConnectString(const std::string& connect) {
  ConnectionString cs;
  try {
    cs = ConnectionString::Parse(connect);
  } catch (const _com_error&) {
    return connect;  // the library reports it
  }
  const bool sqlite_without_mode = Same(cs.Get("Provider"), "SQLite") && !cs.Has("Mode");
  if (!cs.GetFlag("Create") && !sqlite_without_mode) return connect;
  if (cs.GetFlag("Create")) cs.Set("Create", "no");
  // A SQLite file the user may only read is fine for reading.
  if (sqlite_without_mode) cs.Set("Mode", "Read");
  return Join(cs);
}

std::string ConnectHint(const std::string& connect, bool read_only) {
  ConnectionString cs;
  try {
    cs = ConnectionString::Parse(connect);
  } catch (const _com_error&) {
    return std::string();
  }
  if (!Same(cs.Get("Provider"), "SQLite")) return std::string();
  std::string path = cs.Get("Data Source");
  if (path.empty()) path = cs.Get("Database");
  struct stat st {};
  if (path.empty() || stat(path.c_str(), &st) == 0) return std::string();
  return read_only ? "the database file '" + path + "' does not exist"
                   : "the database file '" + path +
                         "' does not exist; add ;Create=yes to the connection string to make it";
}

}  // namespace kestal::tool
