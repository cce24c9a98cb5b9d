#include "PgServer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

namespace kestal::test::pg {
namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') {
    throw std::runtime_error(std::string(name) + " is not set: start scripts/pg-cluster.sh");
  }
  return value;
}

// pg_ctl as the cluster's owner (the tests may run as root).
std::string PgCtl() {
  std::string prefix;
  if (geteuid() == 0) prefix = "runuser -u " + Env("KESTAL_PG_USER") + " -- ";
  return prefix + Env("KESTAL_PG_BIN") + "/pg_ctl -D " + Env("KESTAL_PG_DATA");
}

void Shell(const std::string& command) {
  if (std::system(command.c_str()) != 0) throw std::runtime_error("failed: " + command);
}

bool Running() {
  return std::system((PgCtl() + " status >/dev/null 2>&1").c_str()) == 0;
}

}  // namespace

void StopServer() {
  Shell(PgCtl() + " stop -m fast -w >/dev/null");
}

void StartServer() {
  if (Running()) return;
  const std::string dir = Env("KESTAL_PG_DIR");
  Shell(PgCtl() + " start -w -t 60 -l " + dir + "/server.log -o \"-p " + Env("KESTAL_PG_PORT") +
        " -k " + dir + " -c listen_addresses=127.0.0.1 -c fsync=off -c max_connections=200\"" +
        " >/dev/null");
}

ServerRestarter::~ServerRestarter() {
  try {
    StartServer();
  } catch (const std::exception& e) {
    ADD_FAILURE() << e.what();
  }
}

std::string DatabaseOf(const std::string& connection_string) {
  const size_t at = connection_string.find("Database=");
  if (at == std::string::npos) return std::string();
  const size_t start = at + 9;
  return connection_string.substr(start, connection_string.find(';', start) - start);
}

NativeConnection::NativeConnection(const std::string& connection_string) {
  conn_ = PQconnectdb((Env("KESTAL_PG_CONN") + " dbname=" + DatabaseOf(connection_string)).c_str());
  if (PQstatus(conn_) != CONNECTION_OK) {
    ADD_FAILURE() << "native connect: " << PQerrorMessage(conn_);
  }
  PQsetNoticeProcessor(
      conn_, [](void*, const char*) {}, nullptr);
}

NativeConnection::~NativeConnection() {
  PQfinish(conn_);
}

std::string NativeConnection::Run(const std::string& sql) {
  PGresult* r = PQexec(conn_, sql.c_str());
  const ExecStatusType st = PQresultStatus(r);
  std::string value;
  if (st == PGRES_TUPLES_OK && PQntuples(r) > 0) value = PQgetvalue(r, 0, 0);
  if (st != PGRES_TUPLES_OK && st != PGRES_COMMAND_OK) {
    ADD_FAILURE() << "native: " << PQresultErrorMessage(r) << " in: " << sql;
  }
  PQclear(r);
  return value;
}

int TerminateLibraryBackends(const std::string& connection_string) {
  NativeConnection admin(connection_string);
  return std::atoi(admin
                       .Run("select count(pg_terminate_backend(pid, 5000)) from pg_stat_activity "
                            "where application_name = 'kestal' and datname = '" +
                            DatabaseOf(connection_string) + "'")
                       .c_str());
}

}  // namespace kestal::test::pg
