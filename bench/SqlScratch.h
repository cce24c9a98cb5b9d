// Scratch SQL databases for the SQL benchmarks, each with a raw connection of
// the engine's own client library beside the connection string CSQLOperate
// opens: a SQLite file in the scratch folder, or a fresh database on the
// PostgreSQL server named by KESTAL_PG_CONN (a libpq conninfo), dropped again
// when the object goes.
#pragma once

#include <libpq-fe.h>
#include <sqlite3.h>

#include <string>

namespace kestal::bench {

class SqliteScratch {
 public:
  // A new, empty database file name in the scratch folder, in WAL mode as
  // the library keeps it. Throws std::runtime_error.
  explicit SqliteScratch(const std::string& name);
  ~SqliteScratch();
  SqliteScratch(const SqliteScratch&) = delete;
  SqliteScratch& operator=(const SqliteScratch&) = delete;

  sqlite3* db() const { return db_; }
  const std::string& path() const { return path_; }
  std::string AdoString() const { return "Provider=SQLite;Data Source=" + path_; }
  // Runs native SQL; throws std::runtime_error on failure.
  void Exec(const std::string& sql) const;

 private:
  std::string path_;
  sqlite3* db_ = nullptr;
};

class PgScratch {
 public:
  // A new, empty database on the KESTAL_PG_CONN server. Throws
  // std::runtime_error when the variable is unset or the server refuses.
  explicit PgScratch(const std::string& name);
  ~PgScratch();
  PgScratch(const PgScratch&) = delete;
  PgScratch& operator=(const PgScratch&) = delete;

  PGconn* conn() const { return conn_; }
  std::string AdoString() const { return ado_; }
  // Runs native SQL; throws std::runtime_error on failure.
  void Exec(const std::string& sql) const;

 private:
  std::string server_;
  std::string name_;
  std::string ado_;
  PGconn* conn_ = nullptr;
};

// A PostgreSQL scratch database that CSQLOperate reaches through the ODBC
// engine and psqlODBC (named by its file, the ANSI build where installed,
// so no driver registration is needed; KESTAL_BENCH_PSQLODBC overrides the file,
// KESTAL_BENCH_ODBC_OPTIONS adds driver settings). The raw baseline is still libpq on conn().
class PgOdbcScratch : public PgScratch {
 public:
  explicit PgOdbcScratch(const std::string& name);
  std::string AdoString() const { return odbc_; }

 private:
  std::string odbc_;
};

}  // namespace kestal::bench
