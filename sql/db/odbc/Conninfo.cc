// Connection strings for SQLDriverConnect (see Conninfo.h, README.md).
#include "sql/db/odbc/Conninfo.h"

#include <sql.h>
#include <sqlext.h>
#include <strings.h>

#include <cstdlib>
#include <cstring>

#include "platform/Codepage.h"
#include "sql/db/ComError.h"
#include "sql/db/odbc/Errors.h"

namespace kestal::db::odbc {
namespace {

// The connection's own time-out when the host left it as ADO's default.
constexpr long kDefaultTimeout = 15;
// A connect never waits without end: what "0" or a negative time-out means.
constexpr long kFallbackTimeout = 8;

bool Same(const std::string& a, const char* b) {
  return strcasecmp(a.c_str(), b) == 0;
}

bool Contains(const std::string& text, const char* part) {
  const size_t n = std::strlen(part);
  for (size_t i = 0; i + n <= text.size(); ++i) {
    if (strncasecmp(text.c_str() + i, part, n) == 0) return true;
  }
  return false;
}

// The first of keys present in connection, or "".
std::string FirstOf(const ConnectionString& connection, std::initializer_list<const char*> keys) {
  for (const char* key : keys) {
    if (connection.Has(key)) return connection.Get(key);
  }
  return std::string();
}

void Append(std::string* text, const std::string& key, const std::string& value) {
  *text += key + "=" + QuoteValue(value) + ";";
}

// The SQL Server driver for an ADO string: the override, else Microsoft's
// driver (newest first), else FreeTDS. "" when none is registered.
std::string ChooseDriver(const std::vector<std::string>& installed,
                         const std::string& driver_override) {
  if (!driver_override.empty()) return driver_override;
  for (const char* wanted : {"ODBC Driver 18 for SQL Server", "ODBC Driver 17 for SQL Server"}) {
    for (const std::string& name : installed) {
      if (Same(name, wanted)) return name;
    }
  }
  for (const std::string& name : installed) {
    if (Same(name, "FreeTDS")) return name;
  }
  for (const std::string& name : installed) {
    if (Contains(name, "FreeTDS") || Contains(name, "tdsodbc")) return name;
  }
  return std::string();
}

bool IsFreeTds(const std::string& driver) {
  return Contains(driver, "FreeTDS") || Contains(driver, "tdsodbc");
}

// The login time-out: the connection's own when the host changed it (a
// reconnection asks for 8 s), else the string's Connect Timeout, else 15 s.
long LoginTimeout(const ConnectionString& connection, long timeout_seconds) {
  long seconds = timeout_seconds;
  if (timeout_seconds == kDefaultTimeout) {
    const std::string given = FirstOf(connection, {"Connect Timeout", "Connection Timeout"});
    if (!given.empty()) seconds = std::strtol(given.c_str(), nullptr, 10);
  }
  return seconds > 0 ? seconds : kFallbackTimeout;
}

// Maps the keys of an ADO SQL Server string onto driver's keywords.
OdbcConnect MapAdoString(const ConnectionString& connection, long timeout_seconds,
                         const std::vector<std::string>& installed,
                         const std::string& driver_override) {
  const std::string driver = ChooseDriver(installed, driver_override);
  if (driver.empty()) {
    throw _com_error(kConnectionError,
                     CString("ODBC: no SQL Server ODBC driver is registered (install Microsoft's "
                             "'ODBC Driver 18 for SQL Server' or FreeTDS, Debian package "
                             "tdsodbc, or name one in KESTAL_ODBC_DRIVER)"));
  }
  OdbcConnect out;
  out.login_timeout = LoginTimeout(connection, timeout_seconds);
  const bool freetds = IsFreeTds(driver);
  Append(&out.text, "Driver", driver);
  std::string server = FirstOf(connection, {"Data Source", "Server", "Address", "Addr"});
  if (server.compare(0, 4, "tcp:") == 0) server = server.substr(4);
  if (freetds) {
    // FreeTDS takes the port as its own keyword; host\instance it resolves
    // through the server's browser service itself.
    const size_t comma = server.find(',');
    if (comma != std::string::npos) {
      Append(&out.text, "Server", server.substr(0, comma));
      Append(&out.text, "Port", server.substr(comma + 1));
    } else {
      Append(&out.text, "Server", server);
    }
  } else {
    Append(&out.text, "Server", server);
  }
  const std::string database = FirstOf(connection, {"Initial Catalog", "Database"});
  if (!database.empty()) Append(&out.text, "Database", database);
  const std::string security = FirstOf(connection, {"Integrated Security", "Trusted_Connection"});
  const bool integrated = Same(security, "SSPI") || Same(security, "true") || Same(security, "yes");
  if (integrated) {
    Append(&out.text, "Trusted_Connection", "yes");
  } else {
    const std::string user = FirstOf(connection, {"User ID", "UID", "User"});
    out.password = FirstOf(connection, {"Password", "PWD"});
    if (!user.empty()) Append(&out.text, "UID", user);
    if (!out.password.empty()) Append(&out.text, "PWD", out.password);
  }
  const std::string app = FirstOf(connection, {"Application Name", "APP"});
  if (!app.empty()) Append(&out.text, "APP", app);
  const std::string workstation = FirstOf(connection, {"Workstation ID", "WSID"});
  if (!workstation.empty()) Append(&out.text, "WSID", workstation);
  for (const char* key : {"Encrypt", "TrustServerCertificate"}) {
    if (connection.Has(key)) Append(&out.text, key, connection.Get(key));
  }
  if (freetds) {
    // 7.4 is what SQL Server 2012 and later speak; text crosses in the
    // process code page, which FreeTDS converts to and from the server's.
    Append(&out.text, "TDS_Version", "7.4");
    out.client_charset = ClientCharsetFor(ProcessCodepage());
    Append(&out.text, "ClientCharset", out.client_charset);
  }
  return out;
}

// Passes every key but Provider on as written.
OdbcConnect PassThrough(const ConnectionString& connection, long timeout_seconds) {
  OdbcConnect out;
  out.login_timeout = LoginTimeout(connection, timeout_seconds);
  std::string driver;
  for (const auto& pair : connection.Pairs()) {
    if (Same(pair.first, "Provider")) continue;
    if (Same(pair.first, "PWD") || Same(pair.first, "Password")) out.password = pair.second;
    if (Same(pair.first, "Driver")) driver = pair.second;
    if (Same(pair.first, "ClientCharset")) out.client_charset = pair.second;
    Append(&out.text, pair.first, pair.second);
  }
  // FreeTDS speaks its ClientCharset; one the string leaves out is the
  // process code page, as for the ADO strings.
  if (IsFreeTds(driver) && out.client_charset.empty()) {
    out.client_charset = ClientCharsetFor(ProcessCodepage());
    Append(&out.text, "ClientCharset", out.client_charset);
  }
  return out;
}

}  // namespace

bool IsOdbcProvider(const std::string& provider) {
  for (const char* name : {"ODBC", "MSDASQL", "SQLOLEDB", "SQLNCLI", "SQLNCLI10", "SQLNCLI11",
                           "MSOLEDBSQL", "MSOLEDBSQL19"}) {
    if (Same(provider, name)) return true;
  }
  return false;
}

std::string QuoteValue(const std::string& value) {
  const bool plain = value.find_first_of(";{}") == std::string::npos &&
                     (value.empty() || (value.front() != ' ' && value.back() != ' '));
  if (plain) return value;
  std::string text = "{";
  for (char c : value) {
    text += c;
    if (c == '}') text += '}';
  }
  return text + "}";
}

std::string ClientCharsetFor(const std::string& codepage) {
  if (Same(codepage, "GBK") || Same(codepage, "CP936") || Same(codepage, "936")) return "GBK";
  return codepage;
}

OdbcConnect BuildOdbcConnect(const ConnectionString& connection, long timeout_seconds,
                             const std::vector<std::string>& installed,
                             const std::string& driver_override) {
  const std::string provider = connection.Get("Provider");
  OdbcConnect out = Same(provider, "ODBC") || Same(provider, "MSDASQL")
                        ? PassThrough(connection, timeout_seconds)
                        : MapAdoString(connection, timeout_seconds, installed, driver_override);
  out.shown = MaskSecret(out.text, out.password);
  return out;
}

std::vector<std::string> InstalledDrivers() {
  std::vector<std::string> names;
  SQLHENV env = SQL_NULL_HENV;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env))) return names;
  SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  SQLCHAR name[256];
  SQLCHAR attributes[1024];
  SQLSMALLINT name_length = 0;
  SQLSMALLINT attributes_length = 0;
  SQLUSMALLINT direction = SQL_FETCH_FIRST;
  while (SQL_SUCCEEDED(SQLDrivers(env, direction, name, sizeof name, &name_length, attributes,
                                  sizeof attributes, &attributes_length))) {
    names.emplace_back(reinterpret_cast<const char*>(name));
    direction = SQL_FETCH_NEXT;
  }
  SQLFreeHandle(SQL_HANDLE_ENV, env);
  return names;
}

}  // namespace kestal::db::odbc
