// ADO-style connection strings for the PostgreSQL engine, as libpq keyword
// and value lists (PQconnectdbParams takes them unescaped, so passwords and
// names may hold any character).
#pragma once

#include <string>
#include <vector>

#include "sql/db/ConnectionString.h"

namespace kestal::db::postgres {

struct ConnectParams {
  std::vector<std::string> keys;
  std::vector<std::string> values;
  // The value for key, or "" when absent (for tests and messages).
  std::string Get(const std::string& key) const;
};

// Maps Server / Data Source / Host (optionally "host,port"), Port, Database /
// Initial Catalog, User ID / UID / User and Password / PWD to libpq keywords,
// and adds the session settings the engine relies on: UTF-8 client encoding,
// ISO dates, TCP keep-alives, and connect_timeout = timeout_seconds (8 when
// timeout_seconds is not positive, so that a connect never waits forever).
// Any other key that is a libpq keyword (sslmode, ...) is passed on.
// The statement time-out is the connection string's "Command Timeout" in
// seconds (30 by default, as ADO's CommandTimeout; 0 for none), given to the
// server as statement_timeout.
ConnectParams BuildConnectParams(const ConnectionString& connection, long timeout_seconds);

// The connection string's "Command Timeout" in seconds: 30 when absent or
// not a number, 0 (no bound) when 0 or negative.
long CommandTimeoutOf(const ConnectionString& connection);

// Seconds a call waits for an answer from the server before it takes the
// link for silent: the command time-out plus a grace for the answer's
// journey, or 0 (wait without end) when there is no command time-out. Once
// the server ends a statement at its statement_timeout, an answer must
// follow; a link that stays silent past this is cut.
long SilentLinkSecondsOf(long command_timeout_seconds);

}  // namespace kestal::db::postgres
