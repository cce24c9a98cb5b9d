#include "support/TestDatabase.h"

#include <sqlite3.h>

#include <cstdio>
#include <memory>
#include <mutex>
#include <stdexcept>

namespace kestal::test {
namespace {

const EngineTraits kSqliteTraits{"sqlite",
                                 "id INTEGER PRIMARY KEY AUTOINCREMENT",
                                 /*stores_overlong_text=*/true,
                                 /*has_varbinary=*/true,
                                 /*case_insensitive_literals=*/true,
                                 /*distinct_decimal_type=*/true,
                                 /*unused_ident_current=*/"NULL"};
// PostgreSQL gives a never-used identity its start value, as SQL Server
// documents; its text comparisons are case-sensitive and count trailing
// blanks of varchar values.
const EngineTraits kPostgresTraits{"postgres",
                                   "id serial PRIMARY KEY",
                                   /*stores_overlong_text=*/false,
                                   /*has_varbinary=*/false,
                                   /*case_insensitive_literals=*/false,
                                   /*distinct_decimal_type=*/false,
                                   /*unused_ident_current=*/"1"};

// The fixture opens the file for each call and closes it again, so that no
// test process holds a SQLite handle across a fork: a child that opened the
// same file next to an inherited handle would share its lock records.
class SqliteDatabase : public TestDatabase {
 public:
  SqliteDatabase() : path_(dir_.File("test.db")) { Exec("PRAGMA journal_mode=WAL"); }
  ~SqliteDatabase() override {
    BringOnline();  // the scratch folder is removed from its own place
  }

  Engine engine() const override { return Engine::kSqlite; }
  std::string ConnectionString() const override { return "Provider=SQLite;Data Source=" + path_; }
  std::string FilePath() const override { return path_; }

  void TakeOffline() override { Move(dir_.path(), dir_.path() + ".away", true); }
  void BringOnline() override { Move(dir_.path() + ".away", dir_.path(), false); }

  void Exec(const std::string& sql) override {
    Handle db = Open();
    char* err = nullptr;
    if (sqlite3_exec(db.get(), sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
      std::string text = err ? err : "?";
      sqlite3_free(err);
      throw std::runtime_error("sqlite: " + text + " in: " + sql);
    }
  }

  std::vector<std::vector<std::string>> Query(const std::string& sql) override {
    Handle db = Open();
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db.get(), sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
      throw std::runtime_error(std::string("sqlite: ") + sqlite3_errmsg(db.get()) + " in: " + sql);
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
    if (rc != SQLITE_DONE) {
      throw std::runtime_error(std::string("sqlite step: ") + sqlite3_errmsg(db.get()));
    }
    return rows;
  }

 private:
  using Handle = std::unique_ptr<sqlite3, decltype(&sqlite3_close)>;

  // A fresh handle on the database file (made on first use), waiting up to
  // ten seconds for other writers.
  Handle Open() const {
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open(path_.c_str(), &raw);
    Handle db(raw, &sqlite3_close);
    if (rc != SQLITE_OK) throw std::runtime_error("sqlite3_open " + path_);
    sqlite3_busy_timeout(db.get(), 10000);
    return db;
  }

  // Renames the folder when it is not yet in the wanted state.
  void Move(const std::string& from, const std::string& to, bool offline) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (offline_ == offline) return;
    if (std::rename(from.c_str(), to.c_str()) != 0) throw std::runtime_error("rename " + from);
    offline_ = offline;
  }

  TempDir dir_;
  std::string path_;
  std::mutex mutex_;  // guards offline_ and the folder's place
  bool offline_ = false;
};

}  // namespace

std::unique_ptr<TestDatabase> CreatePostgresDatabase();  // TestDatabasePostgres.cc

std::string VarbinaryDdl(const EngineTraits& t, int n) {
  return t.has_varbinary ? "varbinary(" + std::to_string(n) + ")" : "bytea";
}

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
