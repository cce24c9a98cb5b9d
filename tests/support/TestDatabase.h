// A real database for SQL tests, set up and inspected through the engine's own
// client library (never through Kestal's access layer), so that a fault in the
// layer cannot hide itself in the fixture.
//
// Engines: SQLite (a fresh database file in a scratch folder) and PostgreSQL
// (a fresh database on the server named by KESTAL_PG_CONN, a libpq conninfo
// such as "host=/tmp/x port=5432 user=postgres dbname=postgres"). A test that
// asks for PostgreSQL when KESTAL_PG_CONN is unset fails; it does not skip.
// The ODBC entries reach the same two databases through the ODBC engine and
// the real drivers (psqlODBC, SQLite's ODBC driver), registered in a
// temporary ODBCSYSINI for the test process and its children.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace kestal::test {

enum class Engine { kSqlite, kPostgres, kOdbcSqlite, kOdbcPostgres };

// Engine quirks a shared test may need to know about. Every flag names a
// documented difference between the engines as seen through the access
// layer; a test that depends on one asserts each engine's own behaviour.
struct EngineTraits {
  const char* name;          // "sqlite", "postgres", "odbc_sqlite", ... for test names
  const char* identity_ddl;  // column DDL of an identity column named id
  // Text longer than its varchar(n) column is stored whole, not refused.
  bool stores_overlong_text;
  // varbinary(n) is native DDL (the catalogue reports type 37 with length
  // n); otherwise binary columns are declared bytea.
  bool has_varbinary;
  // Comparisons with string literals ignore the case of ASCII letters and
  // trailing blanks, as SQL Server's default collation does.
  bool case_insensitive_literals;
  // decimal and numeric are distinct catalogue types (106 and 108).
  bool distinct_decimal_type;
  // IDENT_CURRENT of a table whose identity was never used, through the
  // layer: "NULL" where the engine keeps no value yet, else the seed.
  const char* unused_ident_current;
  // A column another client changed (dropped and made again with another
  // type) fails the first statement of this connection that compares it;
  // the engine then reads the table's shape again, and the next one runs.
  bool first_read_fails_after_foreign_ddl = false;
};

// Every engine the shared suites run on.
#if defined(KESTAL_TESTS_SQLITE_ONLY)
inline const Engine kAllEngines[] = {Engine::kSqlite};  // built without the PostgreSQL engine
#elif defined(KESTAL_TEST_ODBC)
inline const Engine kAllEngines[] = {Engine::kSqlite, Engine::kPostgres, Engine::kOdbcSqlite,
                                     Engine::kOdbcPostgres};
#else
inline const Engine kAllEngines[] = {Engine::kSqlite, Engine::kPostgres};
#endif

// The native engines only: the memory-growth cases measure this library's
// own heap, which a driver's allocations would blur, and are the longest of
// the suites.
#ifdef KESTAL_TESTS_SQLITE_ONLY
inline const Engine kNativeEngines[] = {Engine::kSqlite};
#else
inline const Engine kNativeEngines[] = {Engine::kSqlite, Engine::kPostgres};
#endif

// The traits of engine, and its name for test names.
const EngineTraits& TraitsOf(Engine engine);
inline const char* EngineLabel(Engine engine) {
  return TraitsOf(engine).name;
}
// True for the entries that go through the ODBC engine.
inline bool IsOdbc(Engine engine) {
  return engine == Engine::kOdbcSqlite || engine == Engine::kOdbcPostgres;
}
// The engine behind an ODBC entry (the entry itself otherwise).
inline Engine Backend(Engine engine) {
  return engine == Engine::kOdbcSqlite     ? Engine::kSqlite
         : engine == Engine::kOdbcPostgres ? Engine::kPostgres
                                           : engine;
}

// Registers the ODBC drivers installed on this machine (SQLite3, PostgreSQL
// Unicode, FreeTDS) in a temporary odbcinst.ini and points ODBCSYSINI at it,
// once per process. Returns the folder.
const std::string& RegisterOdbcDrivers();
// The registered name of a driver: "sqlite", "postgres" or "freetds".
std::string OdbcDriverName(const std::string& which);

// Column DDL of a binary column of n bytes (type 37) on engine traits t.
std::string VarbinaryDdl(const EngineTraits& t, int n);

class TestDatabase {
 public:
  virtual ~TestDatabase() = default;
  // A fresh, empty database on engine. Throws std::runtime_error on failure.
  static std::unique_ptr<TestDatabase> Create(Engine engine);

  virtual Engine engine() const = 0;
  const EngineTraits& traits() const;
  // ADO-style connection string for CSQLOperate::Open.
  virtual std::string ConnectionString() const = 0;
  // Runs engine-native SQL (UTF-8); throws std::runtime_error on failure.
  virtual void Exec(const std::string& sql) = 0;
  // Runs a query and returns its rows as text ("" for NULL, marked by Null
  // in nulls when wanted). Throws std::runtime_error on failure.
  virtual std::vector<std::vector<std::string>> Query(const std::string& sql) = 0;
  // The single value of a one-row, one-column query.
  std::string Scalar(const std::string& sql);

  // SQLite only: the database file (empty for PostgreSQL).
  virtual std::string FilePath() const { return std::string(); }

  // Makes the database unreachable for the library, the way a lost server
  // looks: new connections are refused and the sessions open now end
  // (SQLite: the database's folder is moved away, so opening fails; an
  // open handle keeps its file). BringOnline undoes it; both may be called
  // from another thread than the test's, and both are idempotent. The
  // fixture's own connection comes back by itself afterwards.
  virtual void TakeOffline() = 0;
  virtual void BringOnline() = 0;
};

}  // namespace kestal::test
