#include "SqlScratch.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "BenchTable.h"

namespace kestal::bench {
namespace {

// The value of key in a libpq conninfo ("" when absent).
std::string ConninfoValue(const std::string& conninfo, const char* key) {
  PQconninfoOption* options = PQconninfoParse(conninfo.c_str(), nullptr);
  std::string value;
  for (PQconninfoOption* o = options; o && o->keyword; ++o) {
    if (std::string(o->keyword) == key && o->val) value = o->val;
  }
  PQconninfoFree(options);
  return value;
}

PGconn* Connect(const std::string& conninfo) {
  PGconn* c = PQconnectdb(conninfo.c_str());
  if (PQstatus(c) != CONNECTION_OK) {
    std::string error = PQerrorMessage(c);
    PQfinish(c);
    throw std::runtime_error("postgres: " + error);
  }
  PQsetNoticeProcessor(
      c, [](void*, const char*) {}, nullptr);
  return c;
}

void PgExec(PGconn* c, const std::string& sql) {
  PGresult* r = PQexec(c, sql.c_str());
  const ExecStatusType st = PQresultStatus(r);
  std::string error = PQresultErrorMessage(r);
  PQclear(r);
  if (st != PGRES_COMMAND_OK && st != PGRES_TUPLES_OK) {
    throw std::runtime_error("postgres: " + error + " in: " + sql.substr(0, 200));
  }
}

}  // namespace

SqliteScratch::SqliteScratch(const std::string& name) : path_(ScratchFile(name)) {
  std::remove(path_.c_str());
  if (sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
      SQLITE_OK) {
    sqlite3_close(db_);
    throw std::runtime_error("cannot create " + path_);
  }
  sqlite3_busy_timeout(db_, 5000);
  Exec("PRAGMA journal_mode=WAL");
}

SqliteScratch::~SqliteScratch() {
  sqlite3_close(db_);
  for (const char* suffix : {"", "-wal", "-shm"}) std::remove((path_ + suffix).c_str());
}

void SqliteScratch::Exec(const std::string& sql) const {
  char* error = nullptr;
  if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
    std::string text = error ? error : "?";
    sqlite3_free(error);
    throw std::runtime_error("sqlite: " + text + " in: " + sql.substr(0, 200));
  }
}

PgScratch::PgScratch(const std::string& name) {
  const char* env = std::getenv("KESTAL_PG_CONN");
  if (env == nullptr || *env == '\0') throw std::runtime_error("KESTAL_PG_CONN is not set");
  server_ = env;
  name_ = "kbench_" + name + "_" + std::to_string(getpid());
  PGconn* admin = Connect(server_);
  try {
    PgExec(admin, "DROP DATABASE IF EXISTS " + name_);
    PgExec(admin, "CREATE DATABASE " + name_);
  } catch (...) {
    PQfinish(admin);
    throw;
  }
  PQfinish(admin);
  conn_ = Connect(server_ + " dbname=" + name_);
  const std::string host = ConninfoValue(server_, "host");
  const std::string port = ConninfoValue(server_, "port");
  const std::string user = ConninfoValue(server_, "user");
  ado_ = "Provider=PostgreSQL;Server=" + (host.empty() ? std::string("127.0.0.1") : host);
  if (!port.empty()) ado_ += ";Port=" + port;
  ado_ += ";Database=" + name_;
  if (!user.empty()) ado_ += ";User ID=" + user;
}

PgOdbcScratch::PgOdbcScratch(const std::string& name) : PgScratch(name + "_odbc") {
  const char* env = std::getenv("KESTAL_BENCH_PSQLODBC");
  std::string driver = env && *env ? env : "";
  // The ANSI build first: the engine reads text as SQL_C_CHAR, which the
  // Unicode build (psqlodbcw) passes through a per-value character-set
  // lookup of its own; both give the same values.
  for (const char* file : {"psqlodbca.so", "psqlodbcw.so"}) {
    for (const char* dir : {"/usr/lib/x86_64-linux-gnu/odbc/", "/usr/lib/aarch64-linux-gnu/odbc/",
                            "/usr/lib/odbc/"}) {
      const std::string path = std::string(dir) + file;
      if (driver.empty() && access(path.c_str(), R_OK) == 0) driver = path;
    }
  }
  if (driver.empty()) throw std::runtime_error("psqlODBC (psqlodbca.so, psqlodbcw.so) not found");
  // The native string's keys, under the ODBC keywords psqlODBC reads.
  odbc_ = "Provider=ODBC;Driver=" + driver;
  std::string rest = PgScratch::AdoString();
  rest = rest.substr(rest.find(';') + 1);  // past Provider=PostgreSQL
  const size_t user = rest.find("User ID=");
  if (user != std::string::npos) rest.replace(user, 8, "UID=");
  odbc_ += ";" + rest;
  // Extra psqlODBC settings to compare (e.g. "UseServerSidePrepare=0").
  const char* extra = std::getenv("KESTAL_BENCH_ODBC_OPTIONS");
  if (extra != nullptr && *extra != '\0') odbc_ += std::string(";") + extra;
}

PgScratch::~PgScratch() {
  PQfinish(conn_);
  try {
    PGconn* admin = Connect(server_);
    PQclear(PQexec(admin, ("DROP DATABASE IF EXISTS " + name_ + " WITH (FORCE)").c_str()));
    PQfinish(admin);
  } catch (...) {
    // The throwaway server goes with its folder anyway.
  }
}

void PgScratch::Exec(const std::string& sql) const {
  PgExec(conn_, sql);
}

}  // namespace kestal::bench
