// The throwaway PostgreSQL server of the test run (scripts/pg-cluster.sh),
// stopped and started by the fault tests, and a few native libpq helpers
// that work beside the library rather than through it.
#pragma once

#include <libpq-fe.h>

#include <string>
#include <utility>
#include <vector>

#include "support/TestDatabase.h"

namespace kestal::test::pg {

// A cluster of the test's own, for the cases that stop the server: the
// shared server of the run stays up for the tests running beside them.
// While it lives, KESTAL_PG_CONN, KESTAL_PG_PORT, KESTAL_PG_DATA and
// KESTAL_PG_DIR name it, so TestDatabase, StopServer and StartServer (and
// forked children) use it; the destructor stops it, removes it and restores
// the variables. Needs KESTAL_PG_BIN and KESTAL_PG_USER of the run.
class PrivateServer {
 public:
  PrivateServer();
  ~PrivateServer();
  PrivateServer(const PrivateServer&) = delete;
  PrivateServer& operator=(const PrivateServer&) = delete;

 private:
  std::string dir_;
  std::vector<std::pair<std::string, std::string>> saved_;
};

// Stops the server (pg_ctl stop -m fast) and waits until it is down.
void StopServer();
// Starts the server again on its port and socket folder and waits until it
// accepts connections.
void StartServer();

// Starts the server again when it leaves scope, whatever the test did.
class ServerRestarter {
 public:
  ServerRestarter() = default;
  ~ServerRestarter();
  ServerRestarter(const ServerRestarter&) = delete;
  ServerRestarter& operator=(const ServerRestarter&) = delete;
};

// The database name inside an ADO connection string ("Database=...").
std::string DatabaseOf(const std::string& connection_string);

// A native connection to the database of connection_string (for holding
// transactions open and for pg_terminate_backend); fails the test on error.
class NativeConnection {
 public:
  explicit NativeConnection(const std::string& connection_string);
  ~NativeConnection();
  NativeConnection(const NativeConnection&) = delete;
  NativeConnection& operator=(const NativeConnection&) = delete;
  // Runs sql; returns the first value of the first row ("" when none).
  std::string Run(const std::string& sql);

 private:
  PGconn* conn_ = nullptr;
};

// Ends every backend of the library (application_name kestal) connected to
// the database of connection_string; returns how many were ended.
int TerminateLibraryBackends(const std::string& connection_string);

}  // namespace kestal::test::pg
