#include "support/TestDatabase.h"

#include <sqlite3.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
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
                                   /*unused_ident_current=*/"1",
                                   /*first_read_fails_after_foreign_ddl=*/true};

// Through the ODBC engine the same databases show the native engines'
// behaviour: the dialect and the session state are the native engines' own.
const EngineTraits kOdbcSqliteTraits{"odbc_sqlite",
                                     "id INTEGER PRIMARY KEY AUTOINCREMENT",
                                     /*stores_overlong_text=*/true,
                                     /*has_varbinary=*/true,
                                     /*case_insensitive_literals=*/true,
                                     /*distinct_decimal_type=*/true,
                                     /*unused_ident_current=*/"NULL"};
const EngineTraits kOdbcPostgresTraits{"odbc_postgres",
                                       "id serial PRIMARY KEY",
                                       /*stores_overlong_text=*/false,
                                       /*has_varbinary=*/false,
                                       /*case_insensitive_literals=*/false,
                                       /*distinct_decimal_type=*/false,
                                       /*unused_ident_current=*/"1",
                                       /*first_read_fails_after_foreign_ddl=*/true};

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

// Reads key=value from an ADO-style string ("" when absent); the fixtures'
// own strings hold no quoting.
std::string AdoValue(const std::string& text, const std::string& key) {
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find(';', at);
    if (end == std::string::npos) end = text.size();
    const std::string part = text.substr(at, end - at);
    const size_t eq = part.find('=');
    if (eq != std::string::npos && part.substr(0, eq) == key) return part.substr(eq + 1);
    at = end + 1;
  }
  return std::string();
}

// A native fixture reached through the ODBC engine: the database, its
// inspection and its faults are the native fixture's; only the connection
// string the library gets differs.
class OdbcDatabase : public TestDatabase {
 public:
  OdbcDatabase(Engine engine, std::unique_ptr<TestDatabase> inner)
      : engine_(engine), inner_(std::move(inner)) {
    RegisterOdbcDrivers();
  }
  Engine engine() const override { return engine_; }
  std::string ConnectionString() const override {
    const std::string native = inner_->ConnectionString();
    if (engine_ == Engine::kOdbcSqlite) {
      return "Provider=ODBC;Driver=" + OdbcDriverName("sqlite") +
             ";Database=" + AdoValue(native, "Data Source");
    }
    std::string s = "Provider=ODBC;Driver=" + OdbcDriverName("postgres") +
                    ";Server=" + AdoValue(native, "Server");
    const std::string port = AdoValue(native, "Port");
    if (!port.empty()) s += ";Port=" + port;
    s += ";Database=" + AdoValue(native, "Database");
    const std::string user = AdoValue(native, "User ID");
    if (!user.empty()) s += ";UID=" + user;
    return s;
  }
  void Exec(const std::string& sql) override { inner_->Exec(sql); }
  std::vector<std::vector<std::string>> Query(const std::string& sql) override {
    return inner_->Query(sql);
  }
  std::string FilePath() const override { return inner_->FilePath(); }
  void TakeOffline() override { inner_->TakeOffline(); }
  void BringOnline() override { inner_->BringOnline(); }

 private:
  Engine engine_;
  std::unique_ptr<TestDatabase> inner_;
};

// The first of the driver files that exists ("" when none does).
std::string FindDriver(std::initializer_list<const char*> files) {
  for (const char* dir : {"/usr/lib/x86_64-linux-gnu/odbc", "/usr/lib/aarch64-linux-gnu/odbc",
                          "/usr/lib/odbc", "/usr/local/lib/odbc", "/usr/lib64"}) {
    for (const char* file : files) {
      const std::string path = std::string(dir) + "/" + file;
      if (access(path.c_str(), R_OK) == 0) return path;
    }
  }
  return std::string();
}

}  // namespace

const std::string& RegisterOdbcDrivers() {
  static const std::string folder = [] {
    // Kept for the whole run (child processes of the tests read it too) and
    // removed by the process that made it, not by a forked child leaving.
    struct Folder {
      pid_t owner = getpid();
      TempDir* dir = new TempDir();
      ~Folder() {
        if (getpid() == owner) delete dir;
      }
    };
    static Folder holder;
    const TempDir& dir = *holder.dir;
    std::ofstream ini(dir.File("odbcinst.ini"));
    const std::pair<std::string, std::string> drivers[] = {
        {OdbcDriverName("sqlite"), FindDriver({"libsqlite3odbc.so"})},
        {OdbcDriverName("postgres"), FindDriver({"psqlodbcw.so"})},
        {OdbcDriverName("freetds"), FindDriver({"libtdsodbc.so"})},
    };
    for (const auto& d : drivers) {
      if (d.second.empty()) continue;
      ini << "[" << d.first << "]\nDescription=" << d.first << "\nDriver=" << d.second << "\n\n";
    }
    ini.close();
    { std::ofstream odbc(dir.File("odbc.ini")); }
    setenv("ODBCSYSINI", dir.path().c_str(), 1);
    setenv("ODBCINI", dir.File("odbc.ini").c_str(), 1);
    return dir.path();
  }();
  return folder;
}

std::string OdbcDriverName(const std::string& which) {
  if (which == "sqlite") return "Kestal SQLite3";
  if (which == "postgres") return "Kestal PostgreSQL Unicode";
  return "FreeTDS";
}

const EngineTraits& TraitsOf(Engine engine) {
  switch (engine) {
    case Engine::kSqlite:
      return kSqliteTraits;
    case Engine::kPostgres:
      return kPostgresTraits;
    case Engine::kOdbcSqlite:
      return kOdbcSqliteTraits;
    case Engine::kOdbcPostgres:
      return kOdbcPostgresTraits;
  }
  return kSqliteTraits;
}

std::unique_ptr<TestDatabase> CreatePostgresDatabase();  // TestDatabasePostgres.cc

std::string VarbinaryDdl(const EngineTraits& t, int n) {
  return t.has_varbinary ? "varbinary(" + std::to_string(n) + ")" : "bytea";
}

const EngineTraits& TestDatabase::traits() const {
  return TraitsOf(engine());
}

std::unique_ptr<TestDatabase> TestDatabase::Create(Engine engine) {
  switch (engine) {
    case Engine::kSqlite:
      return std::make_unique<SqliteDatabase>();
    case Engine::kPostgres:
      return CreatePostgresDatabase();
    case Engine::kOdbcSqlite:
      return std::make_unique<OdbcDatabase>(engine, std::make_unique<SqliteDatabase>());
    case Engine::kOdbcPostgres:
      return std::make_unique<OdbcDatabase>(engine, CreatePostgresDatabase());
  }
  throw std::runtime_error("unknown engine");
}

std::string TestDatabase::Scalar(const std::string& sql) {
  auto rows = Query(sql);
  if (rows.empty() || rows[0].empty()) throw std::runtime_error("no value from: " + sql);
  return rows[0][0];
}

}  // namespace kestal::test
