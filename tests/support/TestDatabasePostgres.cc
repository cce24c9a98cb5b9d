// PostgreSQL side of TestDatabase: each test gets its own database on the
// server named by KESTAL_PG_CONN, dropped again when the test ends.
#include <libpq-fe.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <stdexcept>

#include "support/TestDatabase.h"

namespace kestal::test {
namespace {

std::string ServerConninfo() {
  const char* env = std::getenv("KESTAL_PG_CONN");
  if (env == nullptr || *env == '\0') {
    throw std::runtime_error("KESTAL_PG_CONN is not set: PostgreSQL tests need a running server");
  }
  return env;
}

// Reads key=value from a libpq conninfo string ("" when absent).
std::string ConninfoValue(const std::string& conninfo, const std::string& key) {
  PQconninfoOption* opts = PQconninfoParse(conninfo.c_str(), nullptr);
  std::string value;
  for (PQconninfoOption* o = opts; o && o->keyword; ++o) {
    if (key == o->keyword && o->val) value = o->val;
  }
  PQconninfoFree(opts);
  return value;
}

PGconn* Connect(const std::string& conninfo) {
  PGconn* c = PQconnectdb(conninfo.c_str());
  if (PQstatus(c) != CONNECTION_OK) {
    std::string err = PQerrorMessage(c);
    PQfinish(c);
    throw std::runtime_error("postgres connect: " + err);
  }
  PQsetNoticeProcessor(
      c, [](void*, const char*) {}, nullptr);
  return c;
}

class PostgresDatabase : public TestDatabase {
 public:
  PostgresDatabase() : server_(ServerConninfo()) {
    static std::atomic<int> counter{0};
    name_ = "kt_" + std::to_string(getpid()) + "_" + std::to_string(counter++);
    PGconn* admin = Connect(server_);
    RunOn(admin, "DROP DATABASE IF EXISTS " + name_);
    RunOn(admin, "CREATE DATABASE " + name_);
    PQfinish(admin);
    conn_ = Connect(server_ + " dbname=" + name_);
  }
  ~PostgresDatabase() override {
    PQfinish(conn_);
    try {
      PGconn* admin = Connect(server_);
      PQclear(PQexec(admin, ("DROP DATABASE IF EXISTS " + name_ + " WITH (FORCE)").c_str()));
      PQfinish(admin);
    } catch (...) {
      // The server may be down at the end of a fault test; the cluster is
      // thrown away after the run anyway.
    }
  }

  Engine engine() const override { return Engine::kPostgres; }

  void TakeOffline() override {
    std::lock_guard<std::mutex> lock(mutex_);
    PGconn* admin = Connect(server_);
    try {
      RunOn(admin, "ALTER DATABASE " + name_ + " ALLOW_CONNECTIONS false");
      RunOn(admin, "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE datname = '" +
                       name_ + "' AND pid <> pg_backend_pid()");
    } catch (...) {
      PQfinish(admin);
      throw;
    }
    PQfinish(admin);
  }

  void BringOnline() override {
    std::lock_guard<std::mutex> lock(mutex_);
    PGconn* admin = Connect(server_);
    try {
      RunOn(admin, "ALTER DATABASE " + name_ + " ALLOW_CONNECTIONS true");
    } catch (...) {
      PQfinish(admin);
      throw;
    }
    PQfinish(admin);
  }

  std::string ConnectionString() const override {
    std::string host = ConninfoValue(server_, "host");
    std::string port = ConninfoValue(server_, "port");
    std::string user = ConninfoValue(server_, "user");
    std::string s = "Provider=PostgreSQL;Server=" + (host.empty() ? "127.0.0.1" : host);
    if (!port.empty()) s += ";Port=" + port;
    s += ";Database=" + name_;
    if (!user.empty()) s += ";User ID=" + user;
    return s;
  }

  void Exec(const std::string& sql) override {
    try {
      RunOn(Live(), sql);
    } catch (const std::runtime_error&) {
      if (!Reconnected()) throw;
      RunOn(conn_, sql);
    }
  }

  std::vector<std::vector<std::string>> Query(const std::string& sql) override {
    PGresult* r = PQexec(Live(), sql.c_str());
    if (PQresultStatus(r) != PGRES_TUPLES_OK && Reconnected()) {
      PQclear(r);
      r = PQexec(conn_, sql.c_str());
    }
    if (PQresultStatus(r) != PGRES_TUPLES_OK) {
      std::string err = PQresultErrorMessage(r);
      PQclear(r);
      throw std::runtime_error("postgres: " + err + " in: " + sql);
    }
    std::vector<std::vector<std::string>> rows;
    for (int i = 0; i < PQntuples(r); ++i) {
      std::vector<std::string> row;
      for (int j = 0; j < PQnfields(r); ++j) row.emplace_back(PQgetvalue(r, i, j));
      rows.push_back(std::move(row));
    }
    PQclear(r);
    return rows;
  }

 private:
  // The fixture's own connection, re-established after a server restart.
  PGconn* Live() {
    if (PQstatus(conn_) != CONNECTION_OK) PQreset(conn_);
    return conn_;
  }

  // After a failed call: when the link was lost (server restarted), resets it
  // and returns true so the caller retries once.
  bool Reconnected() {
    if (PQstatus(conn_) == CONNECTION_OK) return false;
    PQreset(conn_);
    return PQstatus(conn_) == CONNECTION_OK;
  }

  static void RunOn(PGconn* c, const std::string& sql) {
    PGresult* r = PQexec(c, sql.c_str());
    ExecStatusType st = PQresultStatus(r);
    if (st != PGRES_COMMAND_OK && st != PGRES_TUPLES_OK) {
      std::string err = PQresultErrorMessage(r);
      PQclear(r);
      throw std::runtime_error("postgres: " + err + " in: " + sql);
    }
    PQclear(r);
  }

  std::string server_;
  std::string name_;
  PGconn* conn_ = nullptr;
  std::mutex mutex_;  // one admin change of the database at a time
};

}  // namespace

std::unique_ptr<TestDatabase> CreatePostgresDatabase() {
  return std::make_unique<PostgresDatabase>();
}

}  // namespace kestal::test
