#include "sql/db/postgres/Conninfo.h"

#include <libpq-fe.h>

#include <algorithm>
#include <cstdlib>
#include <set>

namespace kestal::db::postgres {
namespace {

constexpr long kDefaultConnectSeconds = 8;
// ADO's default CommandTimeout.
constexpr long kDefaultCommandSeconds = 30;
// Time for an answer to arrive after the server ended a statement.
constexpr long kAnswerGraceSeconds = 5;

// The first of keys present in connection, or "".
std::string FirstOf(const ConnectionString& connection, std::initializer_list<const char*> keys) {
  for (const char* key : keys) {
    if (connection.Has(key)) return connection.Get(key);
  }
  return std::string();
}

void Add(ConnectParams& params, const char* key, const std::string& value) {
  if (value.empty()) return;
  params.keys.emplace_back(key);
  params.values.push_back(value);
}

// True when key (already lower case) is a libpq connection keyword. The list
// is read once; libpq's keywords do not change while the process runs.
bool IsLibpqKeyword(const std::string& key) {
  static const std::set<std::string> keywords = [] {
    std::set<std::string> names;
    PQconninfoOption* options = PQconndefaults();
    for (PQconninfoOption* o = options; o != nullptr && o->keyword != nullptr; ++o) {
      names.insert(o->keyword);
    }
    PQconninfoFree(options);
    return names;
  }();
  return keywords.count(key) > 0;
}

std::string Lower(const std::string& text) {
  std::string out = text;
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

}  // namespace

std::string ConnectParams::Get(const std::string& key) const {
  for (size_t i = 0; i < keys.size(); ++i) {
    if (keys[i] == key) return values[i];
  }
  return std::string();
}

long CommandTimeoutOf(const ConnectionString& connection) {
  if (!connection.Has("Command Timeout")) return kDefaultCommandSeconds;
  const std::string text = connection.Get("Command Timeout");
  char* end = nullptr;
  const long seconds = std::strtol(text.c_str(), &end, 10);
  if (end == text.c_str()) return kDefaultCommandSeconds;
  return seconds > 0 ? std::min(seconds, 86400L) : 0;
}

long SilentLinkSecondsOf(long command_timeout_seconds) {
  return command_timeout_seconds > 0 ? command_timeout_seconds + kAnswerGraceSeconds : 0;
}

ConnectParams BuildConnectParams(const ConnectionString& connection, long timeout_seconds) {
  ConnectParams params;
  std::string host = FirstOf(connection, {"Server", "Data Source", "Host"});
  std::string port = FirstOf(connection, {"Port"});
  // "Server=host,port" as SQL Server clients write it; an explicit Port wins.
  const size_t comma = host.rfind(',');
  if (comma != std::string::npos) {
    if (port.empty()) port = host.substr(comma + 1);
    host.erase(comma);
  }
  Add(params, "host", host);
  Add(params, "port", port);
  Add(params, "dbname", FirstOf(connection, {"Database", "Initial Catalog"}));
  Add(params, "user", FirstOf(connection, {"User ID", "UID", "User"}));
  Add(params, "password", FirstOf(connection, {"Password", "PWD"}));
  const long seconds = timeout_seconds > 0 ? timeout_seconds : kDefaultConnectSeconds;
  Add(params, "connect_timeout", std::to_string(seconds));
  Add(params, "client_encoding", "UTF8");
  Add(params, "application_name", "kestal");
  // statement_timeout bounds every statement, lock waits included, so that
  // a live server always answers within the command time-out (57014 when it
  // ends one); a silent link is then told apart by the time (Session.cc).
  Add(params, "options",
      "-c DateStyle=ISO,YMD -c IntervalStyle=postgres -c standard_conforming_strings=on"
      " -c statement_timeout=" +
          std::to_string(CommandTimeoutOf(connection) * 1000));
  // A server that vanishes without closing the socket is noticed within about
  // a minute instead of hanging a call forever.
  Add(params, "keepalives", "1");
  Add(params, "keepalives_idle", "30");
  Add(params, "keepalives_interval", "10");
  Add(params, "keepalives_count", "3");
  // Other libpq keywords (sslmode, target_session_attrs, ...) pass through.
  // Of those set above, only application_name and the keep-alives may be
  // changed this way; the time-out is the Connection's.
  for (const auto& [key, value] : connection.Pairs()) {
    const std::string k = Lower(key);
    if (!IsLibpqKeyword(k) || k == "password" || k == "host" || k == "port" || k == "user" ||
        k == "dbname" || k == "options" || k == "client_encoding") {
      continue;
    }
    bool replaced = false;
    for (size_t i = 0; i < params.keys.size(); ++i) {
      if (params.keys[i] != k) continue;
      if (k == "application_name" || k.rfind("keepalives", 0) == 0) params.values[i] = value;
      replaced = true;
    }
    if (!replaced) Add(params, k.c_str(), value);
  }
  return params;
}

}  // namespace kestal::db::postgres
