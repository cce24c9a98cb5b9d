// Cost of watching skipped keys while following: the follow loop of "kestal
// sql follow" (GetRecordsetForBack, each row read with SeekToCurrentPos,
// GetFieldValue and MoveNextEx) over a contiguous 200,000-row trade table in
// windows of 500 rows, plain against the same loop driving the late-row side
// (LateFollow: BeforeLook, AfterLook, Poll and Delivered around each window,
// late rows delivered, a 10-minute watch). No gap is open, so the watch has
// nothing to look for: the ratio (watching / plain rows per second) is the
// price of having it on. A second figure has one run of keys under watch,
// which costs one watch query every five polls. Five rounds, the sides
// taking turns; the best run of each side counts, by wall clock and by the
// CPU time of the following thread.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "CpuClock.h"
#include "SqlScratch.h"
#include "TradeTable.h"
#include "sql/SQLOperate.h"
#include "tools/SqlFollowLate.h"

namespace kestal::bench {
namespace {

constexpr long kRows = 200000;
constexpr int kWindow = 500;
constexpr int kRounds = 5;

struct Run {
  long rows = 0;
  double seconds = 0;
  double cpu = 0;
  bool ok = true;
};

enum class Side { kPlain, kWatching, kWatchingOneRun };

// Follows the whole table once on a fresh object; returns the rows read.
Run FollowOnce(const std::string& connection, Side side) {
  Run run;
  auto op = std::make_unique<CSQLOperate>();
  if (op->Open(connection.c_str(), "trades") != 1) {
    run.ok = false;
    return run;
  }
  try {
    op->m_pRecordset->Close();  // the table read of Open is not following
  } catch (const _com_error&) {
    // Nothing was left open.
  }
  tool::LateOptions options;
  options.mode = tool::LateMode::kDeliver;
  std::unique_ptr<tool::LateFollow> late;
  if (side != Side::kPlain) {
    late = std::make_unique<tool::LateFollow>(*op, options, "CJK", "");
    late->Resume("0", "rec_num");
  }
  if (side == Side::kWatchingOneRun) {
    // A key far above the table: watched, never found.
    late->watch().Watch({kRows * 10, kRows * 10, 0x7fffffffffffLL});
  }
  const CString filter(""), tag("CJK"), recNum("rec_num"), stock("stock"), bs("bs");
  std::string key = "0";
  long delivered_late = 0;
  const Lap lap;
  for (;;) {
    if (late) {
      late->Poll([&delivered_late](const auto&) { ++delivered_late; });
      late->BeforeLook();
    }
    const int got = op->GetRecordsetForBack(filter, CString(key), kWindow, tag);
    if (late) late->AfterLook(got);
    if (got <= 0) {
      if (got != 0) run.ok = false;
      break;
    }
    while (op->SeekToCurrentPos() == 1) {
      const CString k = op->GetFieldValue(recNum);
      CString s = op->GetFieldValue(stock);
      CString b = op->GetFieldValue(bs);
      benchmark::DoNotOptimize(s);
      benchmark::DoNotOptimize(b);
      if (std::atol(k.c_str()) != std::atol(key.c_str()) + 1) run.ok = false;
      key = k.str();
      ++run.rows;
      op->MoveNextEx();
    }
    if (late) late->Delivered(key);
  }
  lap.AddTo(&run);
  if (delivered_late != 0) run.ok = false;
  return run;
}

void KeepBest(const Run& run, Run* best) {
  if (!run.ok || run.rows != kRows) best->ok = false;
  if (best->rows == 0 || run.seconds < best->seconds) {
    best->rows = run.rows;
    best->seconds = run.seconds;
  }
  if (best->cpu == 0 || run.cpu < best->cpu) best->cpu = run.cpu;
}

template <class Scratch>
void LateFollowCost(benchmark::State& state, const char* name) {
  try {
    Scratch db(std::string("late_") + name);
    CreateTrades(db, "trades");
    AppendTrades(db, "trades", 1, kRows);
    Run plain, watching, one_run;
    for (auto _ : state) {
      for (int round = 0; round < kRounds; ++round) {
        KeepBest(FollowOnce(db.AdoString(), Side::kPlain), &plain);
        KeepBest(FollowOnce(db.AdoString(), Side::kWatching), &watching);
        KeepBest(FollowOnce(db.AdoString(), Side::kWatchingOneRun), &one_run);
      }
    }
    if (!plain.ok || !watching.ok || !one_run.ok) {
      state.SkipWithError("a follower did not read every row once, in order");
      return;
    }
    const double plainRate = static_cast<double>(plain.rows) / plain.seconds;
    state.counters["plain_rows_per_s"] = plainRate;
    state.counters["watching_rows_per_s"] = static_cast<double>(watching.rows) / watching.seconds;
    state.counters["ratio"] = static_cast<double>(watching.rows) / watching.seconds / plainRate;
    state.counters["one_run_ratio"] =
        static_cast<double>(one_run.rows) / one_run.seconds / plainRate;
    // The same per CPU second of this thread: on a loaded machine the wall
    // clock mostly measures the other processes (on PostgreSQL the server's
    // work is not in it).
    const double plainCpuRate = static_cast<double>(plain.rows) / plain.cpu;
    state.counters["cpu_ratio"] = static_cast<double>(watching.rows) / watching.cpu / plainCpuRate;
    state.counters["one_run_cpu_ratio"] =
        static_cast<double>(one_run.rows) / one_run.cpu / plainCpuRate;
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
  }
}

void BM_LateFollowCostSqlite(benchmark::State& state) {
  LateFollowCost<SqliteScratch>(state, "sqlite");
}
void BM_LateFollowCostPostgres(benchmark::State& state) {
  LateFollowCost<PgScratch>(state, "pg");
}
BENCHMARK(BM_LateFollowCostSqlite)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_LateFollowCostPostgres)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace
}  // namespace kestal::bench
