#include "TradeTable.h"

#include <cstdio>
#include <memory>
#include <stdexcept>

#include "RawWriters.h"

namespace kestal::bench {
namespace {

const char* const kColumns =
    " (rec_num int, stock varchar(10), bs char(1), cjsj varchar(8), time varchar(19), "
    "serialnum int)";

}  // namespace

Trade MakeTrade(long i) {
  Trade t;
  const long sec = 34200 + i % 19800;
  t.recNum = i;
  std::snprintf(t.stock, sizeof t.stock, "%06ld", 600000 + i % 1000);
  t.bs = i % 2 ? "B" : "S";
  std::snprintf(t.cjsj, sizeof t.cjsj, "%ld%02ld%02ld", sec / 3600, sec / 60 % 60, sec % 60);
  std::snprintf(t.time, sizeof t.time, "%02ld:%02ld:%02ld", sec / 3600, sec / 60 % 60, sec % 60);
  return t;
}

void CreateTrades(const SqliteScratch& db, const std::string& table) {
  db.Exec("create table " + table + kColumns + "; create index " + table + "_rec_num on " + table +
          "(rec_num)");
}

void CreateTrades(const PgScratch& db, const std::string& table) {
  db.Exec("create table " + table + kColumns + "; create index " + table + "_rec_num on " + table +
          "(rec_num)");
}

void AppendTrades(const SqliteScratch& db, const std::string& table, long first, long last) {
  db.Exec("begin");
  sqlite3_stmt* raw = nullptr;
  const std::string sql = "insert into " + table + " values (?, ?, ?, ?, ?, ?)";
  if (sqlite3_prepare_v2(db.db(), sql.c_str(), -1, &raw, nullptr) != SQLITE_OK) {
    throw std::runtime_error(sqlite3_errmsg(db.db()));
  }
  std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> ins(raw, sqlite3_finalize);
  for (long i = first; i <= last; ++i) {
    const Trade t = MakeTrade(i);
    sqlite3_bind_int64(raw, 1, i);
    sqlite3_bind_text(raw, 2, t.stock, -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(raw, 3, t.bs, -1, SQLITE_STATIC);
    sqlite3_bind_text(raw, 4, t.cjsj, -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(raw, 5, t.time, -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(raw, 6, i);
    if (sqlite3_step(raw) != SQLITE_DONE) throw std::runtime_error(sqlite3_errmsg(db.db()));
    sqlite3_reset(raw);
  }
  ins.reset();
  db.Exec("commit");
}

void AppendTrades(const PgScratch& db, const std::string& table, long first, long last) {
  PGresult* r = PQexec(db.conn(), ("copy " + table + " from stdin").c_str());
  const bool copying = PQresultStatus(r) == PGRES_COPY_IN;
  PQclear(r);
  if (!copying) throw std::runtime_error(PQerrorMessage(db.conn()));
  std::string chunk;
  char line[128];
  for (long i = first; i <= last; ++i) {
    const Trade t = MakeTrade(i);
    const int n = std::snprintf(line, sizeof line, "%ld\t%s\t%s\t%s\t%s\t%ld\n", i, t.stock, t.bs,
                                t.cjsj, t.time, i);
    chunk.append(line, static_cast<size_t>(n));
    if (chunk.size() > 60000 || i == last) {
      if (PQputCopyData(db.conn(), chunk.data(), static_cast<int>(chunk.size())) != 1) {
        throw std::runtime_error(PQerrorMessage(db.conn()));
      }
      chunk.clear();
    }
  }
  PQputCopyEnd(db.conn(), nullptr);
  bool ok = true;
  while ((r = PQgetResult(db.conn())) != nullptr) {
    if (PQresultStatus(r) != PGRES_COMMAND_OK) ok = false;
    PQclear(r);
  }
  if (!ok) throw std::runtime_error(PQerrorMessage(db.conn()));
}

void RawSqliteWriter::Load(const std::string& table, long first, long last) const {
  AppendTrades(db_, table, first, last);
}

void RawPgWriter::Load(const std::string& table, long first, long last) const {
  AppendTrades(db_, table, first, last);
}

}  // namespace kestal::bench
