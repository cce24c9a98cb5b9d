#include "support/TestDatabase.h"

#include <sqlite3.h>

#include <stdexcept>

namespace kestal::test {
namespace {

const EngineTraits kSqliteTraits{"sqlite", true, "id INTEGER PRIMARY KEY AUTOINCREMENT"};
const EngineTraits kPostgresTraits{"postgres", false, "id serial PRIMARY KEY"};

class SqliteDatabase : public TestDatabase {
 public:
  SqliteDatabase() : path_(dir_.File("test.db")) {
    if (sqlite3_open(path_.c_str(), &db_) != SQLITE_OK) throw std::runtime_error("sqlite3_open");
    Exec("PRAGMA journal_mode=WAL");
    sqlite3_busy_timeout(db_, 10000);
  }
  ~SqliteDatabase() override { sqlite3_close(db_); }

  Engine engine() const override { return Engine::kSqlite; }
  std::string ConnectionString() const override { return "Provider=SQLite;Data Source=" + path_; }
  std::string FilePath() const override { return path_; }

  void Exec(const std::string& sql) override {
    char* err = nullptr;
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
      std::string text = err ? err : "?";
      sqlite3_free(err);
      throw std::runtime_error("sqlite: " + text + " in: " + sql);
    }
  }

  std::vector<std::vector<std::string>> Query(const std::string& sql) override {
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
      throw std::runtime_error(std::string("sqlite: ") + sqlite3_errmsg(db_) + " in: " + sql);
    }
    std::vector<std::vector<std::string>> rows;
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
      std::vector<std::string> row;
      for (int i = 0; i < sqlite3_column_count(st); ++i) {
        const unsigned char* t = sqlite3_column_text(st, i);
        row.emplace_back(t ? reinterpret_cast<const char*>(t) : "");
      }
      rows.push_back(std::move(row));
    }
    sqlite3_finalize(st);
    if (rc != SQLITE_DONE) throw std::runtime_error(std::string("sqlite step: ") + sqlite3_errmsg(db_));
    return rows;
  }

 private:
  TempDir dir_;
  std::string path_;
  sqlite3* db_ = nullptr;
};

}  // namespace

std::unique_ptr<TestDatabase> CreatePostgresDatabase();  // TestDatabasePostgres.cc

const EngineTraits& TestDatabase::traits() const {
  return engine() == Engine::kSqlite ? kSqliteTraits : kPostgresTraits;
}

std::unique_ptr<TestDatabase> TestDatabase::Create(Engine engine) {
  if (engine == Engine::kSqlite) return std::make_unique<SqliteDatabase>();
  return CreatePostgresDatabase();
}

std::string TestDatabase::Scalar(const std::string& sql) {
  auto rows = Query(sql);
  if (rows.empty() || rows[0].empty()) throw std::runtime_error("no value from: " + sql);
  return rows[0][0];
}

}  // namespace kestal::test
