// A real database for SQL tests, set up and inspected through the engine's own
// client library (never through Kestal's access layer), so that a fault in the
// layer cannot hide itself in the fixture.
//
// Engines: SQLite (a fresh database file in a scratch folder) and PostgreSQL
// (a fresh database on the server named by KESTAL_PG_CONN, a libpq conninfo
// such as "host=/tmp/x port=5432 user=postgres dbname=postgres"). A test that
// asks for PostgreSQL when KESTAL_PG_CONN is unset fails; it does not skip.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace kestal::test {

enum class Engine { kSqlite, kPostgres };

// Engine quirks a shared test may need to know about.
struct EngineTraits {
  const char* name;           // "sqlite" or "postgres", for test names
  bool lenient_int_cast;      // cast('12abc' as int) gives 12 instead of failing
  const char* identity_ddl;   // column DDL of an identity column named id
};

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
};

}  // namespace kestal::test
