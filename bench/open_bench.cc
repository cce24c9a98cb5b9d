// Open of a large table against the engine's own count, and the memory a
// whole-table walk holds, on SQLite and PostgreSQL.
//
// A ten-column trade table of KESTAL_BENCH_OPEN_ROWS rows (default
// 1,000,000) is filled by the engine itself; KESTAL_BENCH_OPEN_WALK=0 leaves
// out the walk. Reported:
//   open_ratio     CSQLOperate::Open time / raw "select count(*)" time
//                  (libsqlite3, libpq; best of three each)
//   open_MB        resident memory Open added (no rows are held until the
//                  table cursor is read)
//   walk_B/row     resident memory the first read of the table cursor added,
//                  per row (the whole result, packed)
//   text_B/row     bytes of the row's values as text
//   walk/text      the two above as a ratio
//   peak_B/row     the process's highest resident memory after the walk,
//                  beyond what it held before Open, per row (on PostgreSQL
//                  it includes whatever libpq held of the result)
//   walk_s         wall time of that first read (the whole-table statement,
//                  its rows fetched and packed)
//   walk_cpu_s     this thread's CPU time in that read (leaves out the
//                  server's work and other processes of a shared machine)
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>

#include "CpuClock.h"
#include "SqlScratch.h"
#include "sql/SQLOperate.h"

namespace kestal::bench {
namespace {

constexpr int kRounds = 3;

long Rows() {
  const char* text = std::getenv("KESTAL_BENCH_OPEN_ROWS");
  const long rows = text != nullptr ? std::atol(text) : 0;
  return rows > 0 ? rows : 1000000;
}

// False when KESTAL_BENCH_OPEN_WALK=0: Open alone is measured (the walk of a
// very large table holds all its rows).
bool Walk() {
  const char* text = std::getenv("KESTAL_BENCH_OPEN_WALK");
  return text == nullptr || std::strcmp(text, "0") != 0;
}

// A figure of /proc/self/status in kB (VmRSS: resident now, VmHWM: the
// highest resident so far), -1 when unreadable.
long StatusKb(const char* key) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(key, 0) == 0) return std::atol(line.c_str() + std::strlen(key));
  }
  return -1;
}
long ResidentKb() {
  return StatusKb("VmRSS:");
}

double Seconds(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

const char kColumns[] =
    "(rec_num int, stock varchar(10), bs char(1), cjsj varchar(8), time varchar(19), "
    "serialnum int, date char(8), price varchar(12), qty int, account varchar(20))";

// The values of row k, as engine SQL over a column k.
std::string Values(bool postgres) {
  const std::string cat = "||";
  return std::string("k, ") + (postgres ? "(600000 + k % 1000)::text" : "600000 + k % 1000") +
         ", case when k % 2 = 1 then 'B' else 'S' end, '93000', '09:30:00', k, '20260101', "
         "'10.25', 100 + k % 1000, 'ACCOUNT' " +
         cat + " (k % 500)";
}

struct Figures {
  double open_seconds = 1e30;
  double count_seconds = 1e30;
  long open_kb = 0;
  long walk_kb = 0;
  long peak_kb = 0;
  double walk_seconds = 0;
  double walk_cpu_seconds = 0;
  double text_bytes = 0;
  long rows = 0;
};

// Opens, measures, walks. count times the raw count once.
template <class Count>
Figures Measure(const std::string& ado, long rows, Count count, benchmark::State& state) {
  Figures f;
  f.rows = rows;
  for (int round = 0; round < kRounds; ++round) {
    auto start = std::chrono::steady_clock::now();
    count();
    f.count_seconds = std::min(f.count_seconds, Seconds(start));
    CSQLOperate op;
    const long before = ResidentKb();
    start = std::chrono::steady_clock::now();
    if (op.Open(ado.c_str(), "big") != 1) {
      state.SkipWithError("Open failed");
      return f;
    }
    f.open_seconds = std::min(f.open_seconds, Seconds(start));
    const long opened = ResidentKb();
    if (round > 0) continue;  // memory from the first round only
    f.open_kb = opened - before;
    if (!Walk()) continue;
    op.SetStartPos(0);
    start = std::chrono::steady_clock::now();
    const long long cpu_start = ThreadCpuNs();
    if (op.GetRecordset() != 1) {
      state.SkipWithError("the first read failed");
      return f;
    }
    f.walk_seconds = Seconds(start);
    f.walk_cpu_seconds = static_cast<double>(ThreadCpuNs() - cpu_start) / 1e9;
    f.walk_kb = ResidentKb() - opened;
    f.peak_kb = StatusKb("VmHWM:") - before;
    static const char* const kNames[] = {"rec_num",   "stock", "bs",    "cjsj", "time",
                                         "serialnum", "date",  "price", "qty",  "account"};
    _RecordsetPtr rs = op.m_pRecordset;
    for (rs->MoveFirst(); !rs->IsEOF(); rs->MoveNext()) {
      for (const char* name : kNames) {
        _variant_t v = rs->GetCollect(name);
        if (!v.IsNull()) f.text_bytes += v.ToString().GetLength();
      }
    }
  }
  return f;
}

void Report(benchmark::State& state, const Figures& f) {
  state.counters["rows"] = static_cast<double>(f.rows);
  state.counters["open_ratio"] = f.open_seconds / f.count_seconds;
  state.counters["open_MB"] = f.open_kb / 1024.0;
  if (f.text_bytes == 0) return;  // not walked
  state.counters["walk_B/row"] = f.walk_kb * 1024.0 / f.rows;
  state.counters["text_B/row"] = f.text_bytes / f.rows;
  state.counters["walk/text"] = f.walk_kb * 1024.0 / f.text_bytes;
  state.counters["peak_B/row"] = f.peak_kb * 1024.0 / f.rows;
  state.counters["walk_s"] = f.walk_seconds;
  state.counters["walk_cpu_s"] = f.walk_cpu_seconds;
}

void BM_OpenLargeSqlite(benchmark::State& state) {
  const long rows = Rows();
  for (auto _ : state) {
    SqliteScratch db("open_bench.db");
    db.Exec(std::string("create table big ") + kColumns);
    db.Exec(
        "insert into big with recursive n(k) as (select 1 union all select k + 1 from n "
        "where k < " +
        std::to_string(rows) + ") select " + Values(false) + " from n");
    auto count = [&] {
      sqlite3_stmt* st = nullptr;
      sqlite3_prepare_v2(db.db(), "select count(*) from big", -1, &st, nullptr);
      sqlite3_step(st);
      benchmark::DoNotOptimize(sqlite3_column_int64(st, 0));
      sqlite3_finalize(st);
    };
    Report(state, Measure(db.AdoString(), rows, count, state));
  }
}
BENCHMARK(BM_OpenLargeSqlite)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_OpenLargePostgres(benchmark::State& state) {
  const long rows = Rows();
  for (auto _ : state) {
    try {
      PgScratch db("open_bench");
      db.Exec(std::string("create table big ") + kColumns);
      db.Exec("insert into big select " + Values(true) + " from generate_series(1, " +
              std::to_string(rows) + ") k");
      db.Exec("vacuum analyze big");
      auto count = [&] { PQclear(PQexec(db.conn(), "select count(*) from big")); };
      Report(state, Measure(db.AdoString(), rows, count, state));
    } catch (const std::exception& e) {
      state.SkipWithError(e.what());
    }
  }
}
BENCHMARK(BM_OpenLargePostgres)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace
}  // namespace kestal::bench
