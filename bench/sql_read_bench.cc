// Window-fetch follow rate: CSQLOperate::GetRecordsetForBack over a
// 1,000,000-row SQLite table, each row read with SeekToCurrentPos, three
// GetFieldValue calls and MoveNextEx, against a raw libsqlite3 loop that
// sends the same count and fetch statements and reads the same three columns.
// Both follow the table from key 0 in windows of 500 rows in the same run.
//
// The table carries an index on rec_num: without one, every count statement
// scans the whole table, on the raw side as much as on ours.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>

#include "BenchTable.h"
#include "sql/SQLOperate.h"

namespace kestal::bench {
namespace {

constexpr long kRows = 1000000;
constexpr int kWindow = 500;
const char* const kFilter = "bs='B' or bs='S'";

// The libsqlite3 entry points the raw side uses. The library already brings
// libsqlite3 into the process; this program does not link it itself, so the
// functions are looked up at run time.
struct RawSqlite {
  decltype(&sqlite3_open_v2) open_v2;
  decltype(&sqlite3_close) close;
  decltype(&sqlite3_exec) exec;
  decltype(&sqlite3_prepare_v2) prepare_v2;
  decltype(&sqlite3_step) step;
  decltype(&sqlite3_reset) reset;
  decltype(&sqlite3_finalize) finalize;
  decltype(&sqlite3_bind_int64) bind_int64;
  decltype(&sqlite3_bind_text) bind_text;
  decltype(&sqlite3_column_text) column_text;

  static const RawSqlite& Get() {
    static const RawSqlite api = Load();
    return api;
  }

 private:
  template <class F>
  static void Bind(void* lib, const char* name, F* out) {
    void* f = dlsym(lib, name);
    if (f == nullptr) throw std::runtime_error(std::string("no ") + name);
    *out = reinterpret_cast<F>(f);
  }
  static RawSqlite Load() {
    void* lib = dlopen("libsqlite3.so.0", RTLD_NOW | RTLD_NOLOAD);
    if (lib == nullptr) lib = dlopen("libsqlite3.so.0", RTLD_NOW);
    if (lib == nullptr) throw std::runtime_error("libsqlite3.so.0 not found");
    RawSqlite api{};
    Bind(lib, "sqlite3_open_v2", &api.open_v2);
    Bind(lib, "sqlite3_close", &api.close);
    Bind(lib, "sqlite3_exec", &api.exec);
    Bind(lib, "sqlite3_prepare_v2", &api.prepare_v2);
    Bind(lib, "sqlite3_step", &api.step);
    Bind(lib, "sqlite3_reset", &api.reset);
    Bind(lib, "sqlite3_finalize", &api.finalize);
    Bind(lib, "sqlite3_bind_int64", &api.bind_int64);
    Bind(lib, "sqlite3_bind_text", &api.bind_text);
    Bind(lib, "sqlite3_column_text", &api.column_text);
    return api;
  }
};

std::string Text(const unsigned char* t) {
  return t ? reinterpret_cast<const char*>(t) : "";
}

// Writes the trade table (rec_num 1..kRows) at path once; returns path.
std::string MakeTradeTable() {
  static const std::string path = [] {
    const std::string p = ScratchFile("read-bench.db");
    std::remove(p.c_str());
    const RawSqlite& s = RawSqlite::Get();
    sqlite3* db = nullptr;
    if (s.open_v2(p.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK) {
      throw std::runtime_error("cannot create " + p);
    }
    s.exec(db,
           "PRAGMA journal_mode=WAL; create table trades (rec_num int, stock varchar(10), "
           "bs char(1), cjsj varchar(8), time varchar(19), serialnum int); begin;",
           nullptr, nullptr, nullptr);
    sqlite3_stmt* ins = nullptr;
    s.prepare_v2(db, "insert into trades values (?, ?, ?, ?, ?, ?)", -1, &ins, nullptr);
    char stock[16], cjsj[16], time[24];
    for (long i = 1; i <= kRows; ++i) {
      const long sec = 34200 + i % 19800;
      std::snprintf(stock, sizeof stock, "%06ld", 600000 + i % 1000);
      std::snprintf(cjsj, sizeof cjsj, "%ld%02ld%02ld", sec / 3600, sec / 60 % 60, sec % 60);
      std::snprintf(time, sizeof time, "%02ld:%02ld:%02ld", sec / 3600, sec / 60 % 60, sec % 60);
      s.bind_int64(ins, 1, i);
      s.bind_text(ins, 2, stock, -1, SQLITE_TRANSIENT);
      s.bind_text(ins, 3, i % 2 ? "B" : "S", -1, SQLITE_STATIC);
      s.bind_text(ins, 4, cjsj, -1, SQLITE_TRANSIENT);
      s.bind_text(ins, 5, time, -1, SQLITE_TRANSIENT);
      s.bind_int64(ins, 6, i);
      s.step(ins);
      s.reset(ins);
    }
    s.finalize(ins);
    s.exec(db, "commit; create index trades_rec_num on trades(rec_num);", nullptr, nullptr,
           nullptr);
    s.close(db);
    return p;
  }();
  return path;
}

struct Run {
  long rows = 0;
  double seconds = 0;
  bool ok = false;
};

// Follows the table through CSQLOperate.
Run FollowKestal(const std::string& path) {
  auto op = std::make_unique<CSQLOperate>();
  const std::string conn = "Provider=SQLite;Data Source=" + path;
  Run run;
  if (op->Open(conn.c_str(), "trades") != 1) return run;
  const CString filter(kFilter), tag("CJK"), recNum("rec_num"), stock("stock"), bs("bs");
  CString lastKey("0");
  const long long start = NowNs();
  int got = 0;
  while ((got = op->GetRecordsetForBack(filter, lastKey, kWindow, tag)) > 0) {
    while (op->SeekToCurrentPos() == 1) {
      CString key = op->GetFieldValue(recNum);
      CString s = op->GetFieldValue(stock);
      CString b = op->GetFieldValue(bs);
      benchmark::DoNotOptimize(s);
      benchmark::DoNotOptimize(b);
      lastKey = key;
      ++run.rows;
      op->MoveNextEx();
    }
  }
  run.seconds = static_cast<double>(NowNs() - start) / 1e9;
  run.ok = got == 0 && run.rows == kRows;
  return run;
}

// Follows the table with libsqlite3 alone: the same statement texts, the
// same three columns copied out as text.
Run FollowRaw(const std::string& path) {
  const RawSqlite& s = RawSqlite::Get();
  Run run;
  sqlite3* db = nullptr;
  if (s.open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) return run;
  const long long start = NowNs();
  std::string lastKey = "0";
  char sql[512];
  bool ok = true;
  for (;;) {
    std::snprintf(sql, sizeof sql,
                  "select count(*) as CurRecCnt,max(rec_num) as maxCurRecNum from trades where "
                  "rec_num>%s and rec_num<=%ld",
                  lastKey.c_str(), std::atol(lastKey.c_str()) + kWindow);
    sqlite3_stmt* st = nullptr;
    s.prepare_v2(db, sql, -1, &st, nullptr);
    std::string count, max;
    if (s.step(st) == SQLITE_ROW) {
      count = Text(s.column_text(st, 0));
      max = Text(s.column_text(st, 1));
    }
    s.finalize(st);
    if (std::atol(count.c_str()) <= 0) break;
    if (std::atol(max.c_str()) - std::atol(lastKey.c_str()) != std::atol(count.c_str())) {
      ok = false;
      break;
    }
    std::snprintf(sql, sizeof sql,
                  "select * from trades where rec_num>%s and ( %s ) and rec_num<=%s order by "
                  "rec_num",
                  lastKey.c_str(), kFilter, max.c_str());
    s.prepare_v2(db, sql, -1, &st, nullptr);
    while (s.step(st) == SQLITE_ROW) {
      std::string key = Text(s.column_text(st, 0));
      std::string stock = Text(s.column_text(st, 1));
      std::string bs = Text(s.column_text(st, 2));
      benchmark::DoNotOptimize(stock);
      benchmark::DoNotOptimize(bs);
      lastKey = key;
      ++run.rows;
    }
    s.finalize(st);
  }
  run.seconds = static_cast<double>(NowNs() - start) / 1e9;
  s.close(db);
  run.ok = ok && run.rows == kRows;
  return run;
}

// Rows per second of each side and their ratio (ours / raw; 1 is parity).
void BM_WindowFollow(benchmark::State& state) {
  const std::string path = MakeTradeTable();
  Run raw, kestal;
  for (auto _ : state) {
    raw = FollowRaw(path);
    kestal = FollowKestal(path);
  }
  if (!raw.ok || !kestal.ok) state.SkipWithError("a follower did not read every row once");
  const double rawRate = static_cast<double>(raw.rows) / raw.seconds;
  const double kestalRate = static_cast<double>(kestal.rows) / kestal.seconds;
  state.counters["raw_rows_per_s"] = rawRate;
  state.counters["kestal_rows_per_s"] = kestalRate;
  state.counters["ratio"] = kestalRate / rawRate;
}
BENCHMARK(BM_WindowFollow)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace
}  // namespace kestal::bench
