#include "PgServer.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
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

int FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
    port = ntohs(addr.sin_port);
  }
  close(fd);
  if (port == 0) throw std::runtime_error("no free port");
  return port;
}

// Runs a server program as the cluster owner.
std::string AsOwner(const std::string& program) {
  std::string prefix;
  if (geteuid() == 0) prefix = "runuser -u " + Env("KESTAL_PG_USER") + " -- ";
  return prefix + Env("KESTAL_PG_BIN") + "/" + program;
}

}  // namespace

PrivateServer::PrivateServer() {
  for (const char* name : {"KESTAL_PG_CONN", "KESTAL_PG_PORT", "KESTAL_PG_DATA", "KESTAL_PG_DIR"}) {
    const char* value = std::getenv(name);
    saved_.emplace_back(name, value ? value : "");
  }
  char templ[] = "/tmp/kestal-pgprivate-XXXXXX";
  if (mkdtemp(templ) == nullptr) throw std::runtime_error("mkdtemp failed");
  dir_ = templ;
  chmod(dir_.c_str(), 0755);
  if (geteuid() == 0) {
    const passwd* owner = getpwnam(Env("KESTAL_PG_USER").c_str());
    if (owner == nullptr || chown(dir_.c_str(), owner->pw_uid, owner->pw_gid) != 0) {
      throw std::runtime_error("cannot hand " + dir_ + " to the cluster owner");
    }
  }
  const std::string port = std::to_string(FreePort());
  Shell(AsOwner("initdb") + " -D " + dir_ + "/data -U postgres --auth=trust -E UTF8 " +
        "--locale=C.UTF-8 >" + dir_ + "/initdb.log 2>&1");
  setenv("KESTAL_PG_PORT", port.c_str(), 1);
  setenv("KESTAL_PG_DATA", (dir_ + "/data").c_str(), 1);
  setenv("KESTAL_PG_DIR", dir_.c_str(), 1);
  setenv("KESTAL_PG_CONN",
         ("host=127.0.0.1 port=" + port + " user=postgres dbname=postgres").c_str(), 1);
  StartServer();
}

PrivateServer::~PrivateServer() {
  std::system((PgCtl() + " stop -m immediate >/dev/null 2>&1").c_str());
  for (const auto& [name, value] : saved_) {
    if (value.empty()) {
      unsetenv(name.c_str());
    } else {
      setenv(name.c_str(), value.c_str(), 1);
    }
  }
  std::system(("rm -rf " + dir_).c_str());
}

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
