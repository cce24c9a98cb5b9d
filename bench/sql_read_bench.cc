// SQL reading rates against raw client loops, on SQLite and PostgreSQL.
//
// Window follow: CSQLOperate::GetRecordsetForBack over a 1,000,000-row trade
// table from key 0 in windows of 500 rows, each row read with
// SeekToCurrentPos, three GetFieldValue calls and MoveNextEx, against a raw
// loop (libsqlite3, libpq) that sends the same count and fetch statements,
// reads every value of each fetched row as text (the static result behind
// the window holds each row whole) and hands over the same three columns. Three rounds, the sides
// taking turns; the best run of each side counts. Opening the object (which reads the table once)
// is not timed.
//
// Append follow: GetRecordsetEx following a table while 1,000-row blocks are
// appended to it (200,000 rows in all), each row read as above, against a raw
// loop sending the same maximum and fetch statements. Only the readers are
// timed; both read the same appended blocks.
//
// The tables carry an index on rec_num: without one, every count statement
// scans the whole table, on the raw side as much as on ours.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "BenchTable.h"
#include "CpuClock.h"
#include "RawReaders.h"
#include "SqlScratch.h"
#include "TradeTable.h"
#include "sql/SQLOperate.h"

namespace kestal::bench {
namespace {

constexpr long kWindowRows = 1000000;
constexpr int kWindow = 500;
constexpr long kAppendRows = 200000;
constexpr long kAppendBlock = 1000;
constexpr int kRounds = 3;
const char* const kFilter = "bs='B' or bs='S'";

struct Run {
  long rows = 0;
  double seconds = 0;
  double cpu = 0;
  bool ok = true;
};

// One follower of the table through CSQLOperate, opened on connection.
class KestalReader {
 public:
  explicit KestalReader(const std::string& connection) : op_(std::make_unique<CSQLOperate>()) {
    ok_ = op_->Open(connection.c_str(), "trades") == 1;
    // Open reads the whole table into the object's result; letting it go
    // belongs to opening, not to following, so it happens here, untimed.
    try {
      if (ok_) op_->m_pRecordset->Close();
    } catch (const _com_error&) {
      // No result was left open: nothing to let go.
    }
  }
  bool ok() const { return ok_; }

  // Follows by key window from lastKey_ until nothing new is delivered.
  void FollowWindows(Run* run) {
    const CString filter(kFilter), tag("CJK");
    int got = 0;
    while ((got = op_->GetRecordsetForBack(filter, lastKey_, kWindow, tag)) > 0) {
      while (op_->SeekToCurrentPos() == 1) {
        ReadRow(run);
        op_->MoveNextEx();
      }
    }
    if (got != 0) run->ok = false;
  }

  // Reads what GetRecordsetEx delivers until it has nothing new.
  void FollowAppends(Run* run) {
    while (op_->GetRecordsetEx() == 1) {
      ReadRow(run);
      op_->MoveNextEx();
    }
  }

 private:
  void ReadRow(Run* run) {
    CString key = op_->GetFieldValue(recNum_);
    CString s = op_->GetFieldValue(stock_);
    CString b = op_->GetFieldValue(bs_);
    benchmark::DoNotOptimize(s);
    benchmark::DoNotOptimize(b);
    if (std::atol(key.c_str()) != std::atol(lastKey_.c_str()) + 1) run->ok = false;
    lastKey_ = key;
    ++run->rows;
  }

  std::unique_ptr<CSQLOperate> op_;
  bool ok_ = false;
  CString lastKey_ = "0";
  const CString recNum_ = "rec_num", stock_ = "stock", bs_ = "bs";
};

// Follows the table by key window with the raw client alone.
template <class Raw>
Run RawWindows(const Raw& raw) {
  Run run;
  std::string lastKey = "0";
  char sql[512];
  for (;;) {
    std::snprintf(sql, sizeof sql,
                  "select count(*) as CurRecCnt,max(rec_num) as maxCurRecNum from trades where "
                  "rec_num>%s and rec_num<=%ld",
                  lastKey.c_str(), std::atol(lastKey.c_str()) + kWindow);
    std::string count, max;
    run.ok &= raw.Rows(sql, [&](const char* c, const char* m, const char*) {
      count = c;
      max = m;
    });
    if (std::atol(count.c_str()) <= 0) break;
    if (std::atol(max.c_str()) - std::atol(lastKey.c_str()) != std::atol(count.c_str())) {
      run.ok = false;
      break;
    }
    std::snprintf(sql, sizeof sql,
                  "select * from trades where rec_num>%s and ( %s ) and rec_num<=%s order by "
                  "rec_num",
                  lastKey.c_str(), kFilter, max.c_str());
    run.ok &= raw.Rows(sql, [&](const char* k, const char* s, const char* b) {
      std::string key = k, stock = s, bs = b;
      benchmark::DoNotOptimize(stock);
      benchmark::DoNotOptimize(bs);
      lastKey = std::move(key);
      ++run.rows;
    });
  }
  return run;
}

// Raw follower by highest rec_num: the statements GetRecordsetEx sends, in
// the engine's spelling.
template <class Raw>
class RawAppendFollower {
 public:
  explicit RawAppendFollower(const Raw& raw) : raw_(raw) {}
  void Follow(Run* run) {
    char sql[512];
    std::snprintf(sql, sizeof sql, "select %s(max(rec_num),0) as max_recnum from  trades",
                  Raw::IfNull());
    long max = 0;
    run->ok &= raw_.Rows(sql, [&](const char* m, const char*, const char*) { max = std::atol(m); });
    if (max <= last_) return;
    std::snprintf(sql, sizeof sql,
                  "select * from trades where rec_num > %ld and (substring(stock,1,3)!='737' and "
                  "substring(stock,1,3)!='739')",
                  last_);
    last_ = max;
    run->ok &= raw_.Rows(sql, [&](const char* k, const char* s, const char* b) {
      std::string key = k, stock = s, bs = b;
      benchmark::DoNotOptimize(stock);
      benchmark::DoNotOptimize(bs);
      ++run->rows;
    });
  }

 private:
  const Raw& raw_;
  long last_ = 0;
};

// Rows per second of each side and their ratio (ours / raw; 1 is parity).
void Report(benchmark::State& state, const Run& raw, const Run& kestal, long expected) {
  if (!raw.ok || !kestal.ok || raw.rows != expected || kestal.rows != expected) {
    state.SkipWithError("a follower did not read every row once, in order");
    return;
  }
  const double rawRate = static_cast<double>(raw.rows) / raw.seconds;
  const double kestalRate = static_cast<double>(kestal.rows) / kestal.seconds;
  state.counters["raw_rows_per_s"] = rawRate;
  state.counters["kestal_rows_per_s"] = kestalRate;
  state.counters["ratio"] = kestalRate / rawRate;
  // The same per CPU second of this process (on PostgreSQL the server's
  // work is not in it).
  state.counters["cpu_ratio"] =
      (static_cast<double>(kestal.rows) / kestal.cpu) / (static_cast<double>(raw.rows) / raw.cpu);
}

// The faster of two runs of one side: the machine is shared, and a run
// slowed by another process's load says nothing about this code.
void KeepBest(const Run& run, Run* best) {
  if (!run.ok) best->ok = false;
  if (best->rows == 0 || run.seconds < best->seconds) {
    best->rows = run.rows;
    best->seconds = run.seconds;
  }
  if (best->cpu == 0 || run.cpu < best->cpu) best->cpu = run.cpu;
}

template <class Scratch>
void WindowFollow(benchmark::State& state, const char* name) {
  try {
    Scratch db(std::string("read_") + name);
    CreateTrades(db, "trades");
    AppendTrades(db, "trades", 1, kWindowRows);
    const auto raw = RawReader(db);
    Run rawBest, kestalBest;
    for (auto _ : state) {
      for (int round = 0; round < kRounds; ++round) {
        Lap rawLap;
        Run rawRun = RawWindows(raw);
        rawLap.AddTo(&rawRun);
        KeepBest(rawRun, &rawBest);
        KestalReader reader(db.AdoString());
        Run kestalRun;
        if (!reader.ok()) kestalRun.ok = false;
        Lap kestalLap;
        reader.FollowWindows(&kestalRun);
        kestalLap.AddTo(&kestalRun);
        KeepBest(kestalRun, &kestalBest);
      }
    }
    Report(state, rawBest, kestalBest, kWindowRows);
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
  }
}

// The window follow through the ODBC engine against the native PostgreSQL
// engine, on one table, the sides taking turns as above ("raw" in the
// counters is the native engine's side).
void WindowFollowOdbcVsNative(benchmark::State& state) {
  try {
    PgOdbcScratch db("read_vs");
    CreateTrades(db, "trades");
    AppendTrades(db, "trades", 1, kWindowRows);
    Run nativeBest, odbcBest;
    for (auto _ : state) {
      for (int round = 0; round < kRounds; ++round) {
        for (const bool odbc : {round % 2 == 0, round % 2 != 0}) {
          KestalReader reader(odbc ? db.AdoString() : db.PgScratch::AdoString());
          Run run;
          if (!reader.ok()) run.ok = false;
          Lap lap;
          reader.FollowWindows(&run);
          lap.AddTo(&run);
          KeepBest(run, odbc ? &odbcBest : &nativeBest);
        }
      }
    }
    Report(state, nativeBest, odbcBest, kWindowRows);
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
  }
}

template <class Scratch>
void AppendFollow(benchmark::State& state, const char* name) {
  try {
    Scratch db(std::string("follow_") + name);
    CreateTrades(db, "trades");
    const auto raw = RawReader(db);
    Run rawRun, kestalRun;
    for (auto _ : state) {
      RawAppendFollower<decltype(raw)> rawFollower(raw);
      KestalReader reader(db.AdoString());
      if (!reader.ok()) kestalRun.ok = false;
      for (long first = 1; first <= kAppendRows; first += kAppendBlock) {
        AppendTrades(db, "trades", first, first + kAppendBlock - 1);
        // The sides take turns at reading a new block first.
        const bool rawFirst = (first / kAppendBlock) % 2 == 0;
        for (int side = 0; side < 2; ++side) {
          const Lap lap;
          if ((side == 0) == rawFirst) {
            rawFollower.Follow(&rawRun);
            lap.AddTo(&rawRun);
          } else {
            reader.FollowAppends(&kestalRun);
            lap.AddTo(&kestalRun);
          }
        }
      }
    }
    Report(state, rawRun, kestalRun, kAppendRows);
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
  }
}

void BM_WindowFollowSqlite(benchmark::State& state) {
  WindowFollow<SqliteScratch>(state, "sqlite");
}
void BM_WindowFollowPostgres(benchmark::State& state) {
  WindowFollow<PgScratch>(state, "pg");
}
void BM_AppendFollowSqlite(benchmark::State& state) {
  AppendFollow<SqliteScratch>(state, "sqlite");
}
void BM_AppendFollowPostgres(benchmark::State& state) {
  AppendFollow<PgScratch>(state, "pg");
}
// The same window follow through the ODBC engine and psqlODBC, against the
// same raw libpq baseline.
void BM_WindowFollowOdbcPostgres(benchmark::State& state) {
  WindowFollow<PgOdbcScratch>(state, "odbc");
}
// ratio: ODBC to PostgreSQL per native PostgreSQL engine.
void BM_WindowFollowOdbcVsPostgres(benchmark::State& state) {
  WindowFollowOdbcVsNative(state);
}
BENCHMARK(BM_WindowFollowSqlite)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_WindowFollowPostgres)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_WindowFollowOdbcPostgres)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_WindowFollowOdbcVsPostgres)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_AppendFollowSqlite)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_AppendFollowPostgres)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace
}  // namespace kestal::bench
