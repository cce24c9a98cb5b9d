// NativeWriter: one engine-native connection per object; the PostgreSQL
// connection is built from the test database's ADO-style string.
#include "support/NativeWriter.h"

#include <libpq-fe.h>
#include <sqlite3.h>

#include <stdexcept>

#include "sql/db/ConnectionString.h"

namespace kestal::test {

struct NativeWriter::Impl {
  sqlite3* lite = nullptr;
  PGconn* pg = nullptr;
};

NativeWriter::NativeWriter(const TestDatabase& db) : impl_(std::make_unique<Impl>()) {
  if (Backend(db.engine()) == Engine::kSqlite) {
    if (sqlite3_open(db.FilePath().c_str(), &impl_->lite) != SQLITE_OK) {
      const std::string err = sqlite3_errmsg(impl_->lite);
      sqlite3_close(impl_->lite);
      throw std::runtime_error("sqlite open " + db.FilePath() + ": " + err);
    }
    sqlite3_busy_timeout(impl_->lite, 10000);
    return;
  }
  const auto cs = db::ConnectionString::Parse(db.ConnectionString());
  std::string conninfo = "host=" + cs.Get("Server") + " dbname=" + cs.Get("Database");
  if (cs.Has("Port")) conninfo += " port=" + cs.Get("Port");
  if (cs.Has("User ID")) conninfo += " user=" + cs.Get("User ID");
  if (cs.Has("UID")) conninfo += " user=" + cs.Get("UID");  // through ODBC
  impl_->pg = PQconnectdb(conninfo.c_str());
  if (PQstatus(impl_->pg) != CONNECTION_OK) {
    const std::string err = PQerrorMessage(impl_->pg);
    PQfinish(impl_->pg);
    throw std::runtime_error("postgres connect: " + err);
  }
  PQsetNoticeProcessor(
      impl_->pg, [](void*, const char*) {}, nullptr);
}

NativeWriter::~NativeWriter() {
  if (impl_->lite != nullptr) sqlite3_close(impl_->lite);
  if (impl_->pg != nullptr) PQfinish(impl_->pg);
}

void NativeWriter::Exec(const std::string& sql) {
  if (impl_->lite != nullptr) {
    char* err = nullptr;
    if (sqlite3_exec(impl_->lite, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
      const std::string text = err != nullptr ? err : "unknown error";
      sqlite3_free(err);
      throw std::runtime_error("sqlite: " + text + " in " + sql);
    }
    return;
  }
  PGresult* r = PQexec(impl_->pg, sql.c_str());
  const ExecStatusType st = PQresultStatus(r);
  const std::string err = PQresultErrorMessage(r);
  PQclear(r);
  if (st != PGRES_COMMAND_OK && st != PGRES_TUPLES_OK) {
    throw std::runtime_error("postgres: " + err + " in " + sql);
  }
}

}  // namespace kestal::test
