// SQL writing rates against the raw clients, on SQLite and PostgreSQL.
//
// Numbered insert: AddNewRecordBase in numbered mode (rec_num = max + 1 under
// the table lock) into an indexed table, against the raw client running the
// same statements in the engine's spelling, one transaction each.
//
// Statement batch: ExecBatchInsert mode 0 with 10,000 records, against one
// raw sqlite3_exec (PQexec) of the same batch text. The order buffer holds
// about 9,800 such statements, so the batch goes in two sends on both sides.
//
// Bulk load: ExecBatchInsert mode 2 with 100,000 records (the record images
// turned into bulk-load lines and sent buffer by buffer; building the lines
// is timed too), against one prepared insert in one transaction on SQLite
// and one COPY FROM STDIN on PostgreSQL, from the same values.
//
// Every write of the library commits as it goes, on SQLite under BEGIN
// IMMEDIATE with the engine's default (durable) synchronous setting; the raw
// sides run in autocommit on a connection with the same settings.
#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "BenchTable.h"
#include "CpuClock.h"
#include "RawWriters.h"
#include "SqlScratch.h"
#include "TradeTable.h"
#include "sql/SQLOperate.h"

namespace kestal::bench {
namespace {

constexpr long kNumberedRecords = 1000;
constexpr long kBatchRecords = 10000;
constexpr long kBulkRecords = 100000;
const char* const kOurs = "wk";
const char* const kRaw = "wr";

struct Timed {
  long records = 0;
  double seconds = 0;
  double cpu = 0;
  bool ok = true;
};

// Points the statement text at the raw side's table.
void RenameTable(std::string* text) {
  for (size_t at = text->find(" wk "); at != std::string::npos; at = text->find(" wk ", at)) {
    text->replace(at, 4, " wr ");
  }
}

// The record image of trade i in the field layout of op's table.
std::vector<char> RecordImage(const CSQLOperate& op, long i) {
  std::vector<char> image(CSQLOperate::kSlotSize, '\0');
  const Trade t = MakeTrade(i);
  char number[16];
  std::snprintf(number, sizeof number, "%ld", i);
  size_t offset = 0;
  for (int f = 0; f < op.m_nFieldCount; ++f) {
    const FIELDINFO& field = op.m_FieldInfo[f];
    const CString& name = field.strName;
    const char* text = "";
    if (name.CompareNoCase("rec_num") == 0 || name.CompareNoCase("serialnum") == 0) text = number;
    if (name.CompareNoCase("stock") == 0) text = t.stock;
    if (name.CompareNoCase("bs") == 0) text = t.bs;
    if (name.CompareNoCase("cjsj") == 0) text = t.cjsj;
    if (name.CompareNoCase("time") == 0) text = t.time;
    const size_t width = static_cast<size_t>(field.nWidth);
    std::memcpy(image.data() + offset, text, std::min(width, std::strlen(text)));
    offset += width;
  }
  return image;
}

// Records per second of each side and their ratio (ours / raw; 1 is parity).
void Report(benchmark::State& state, const Timed& raw, const Timed& kestal) {
  if (!raw.ok || !kestal.ok || raw.records != kestal.records) {
    state.SkipWithError("a writer failed or wrote a different number of records");
    return;
  }
  const double rawRate = static_cast<double>(raw.records) / raw.seconds;
  const double kestalRate = static_cast<double>(kestal.records) / kestal.seconds;
  state.counters["raw_records_per_s"] = rawRate;
  state.counters["kestal_records_per_s"] = kestalRate;
  state.counters["ratio"] = kestalRate / rawRate;
  // The same per CPU second of this process: what the library adds, without
  // the disk's waits (on PostgreSQL the server's work is not in it).
  state.counters["cpu_ratio"] = (static_cast<double>(kestal.records) / kestal.cpu) /
                                (static_cast<double>(raw.records) / raw.cpu);
}

// A CSQLOperate opened on the table, or an exception.
std::unique_ptr<CSQLOperate> OpenOurs(const std::string& connection) {
  auto op = std::make_unique<CSQLOperate>();
  if (op->Open(connection.c_str(), kOurs) != 1) throw std::runtime_error("Open failed");
  return op;
}

template <class Scratch>
void NumberedInsert(benchmark::State& state, const char* name) {
  // The same statement is replayed raw: it is read back from the log.
  Connection::EnableStatementLog(true);
  try {
    Scratch db(std::string("numbered_") + name);
    CreateTrades(db, kOurs);
    CreateTrades(db, kRaw);
    const auto raw = RawWriter(db);
    Timed ours, theirs;
    for (auto _ : state) {
      auto op = OpenOurs(db.AdoString());
      std::vector<std::vector<char>> images;
      for (long i = 1; i <= kNumberedRecords; ++i) images.push_back(RecordImage(*op, i));
      // Each statement is run by both sides in turn, so that a disk that
      // slows down for a while slows both alike.
      for (auto& image : images) {
        Lap ourLap;
        ours.ok &= op->AddNewRecordBase(image.data(), 0, 1, 1, 0) == 1;
        ourLap.AddTo(&ours);
        ++ours.records;
        // The same statement, table renamed, in the engine's spelling.
        std::string text = op->m_pConnection->SentStatements().back().str();
        RenameTable(&text);
        text = decltype(raw)::NumberedText(text, kRaw);
        Lap rawLap;
        theirs.ok &= raw.Exec(text);
        rawLap.AddTo(&theirs);
        ++theirs.records;
      }
    }
    Report(state, theirs, ours);
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
  }
}

template <class Scratch>
void StatementBatch(benchmark::State& state, const char* name) {
  try {
    Scratch db(std::string("batch_") + name);
    CreateTrades(db, kOurs);
    CreateTrades(db, kRaw);
    const auto raw = RawWriter(db);
    Timed ours, theirs;
    for (auto _ : state) {
      auto op = OpenOurs(db.AdoString());
      if (op->AllocOrderBuff() != 1) throw std::runtime_error("AllocOrderBuff failed");
      int sends = 0;
      // Each send is made by both sides in turn, so that a disk that slows
      // down for a while slows both alike.
      auto send = [&] {
        std::string text(op->m_pOrderBuff, static_cast<size_t>(op->m_lOrderBuffLen));
        RenameTable(&text);
        // The sides take turns at going first.
        for (int side = 0; side < 2; ++side) {
          const Lap lap;
          if ((side == 0) == (sends % 2 == 0)) {
            ours.ok &= op->ExecBatchInsert(1, 0, "bench") == 1;
            lap.AddTo(&ours);
          } else {
            theirs.ok &= raw.Exec(text);
            lap.AddTo(&theirs);
          }
        }
        ++sends;
      };
      for (long i = 1; i <= kBatchRecords; ++i) {
        std::vector<char> image = RecordImage(*op, i);
        if (op->AddInsertRecordToBuff(image.data(), 0, 0) != 1) {
          send();
          ours.ok &= op->AddInsertRecordToBuff(image.data(), 0, 0) == 1;
        }
        ++ours.records;
      }
      send();
      theirs.records = kBatchRecords;
      state.counters["sends"] = sends;
    }
    Report(state, theirs, ours);
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
  }
}

// The statement batch through the ODBC engine against the native PostgreSQL
// engine, on one database, each filling its own buffer with the same records
// and sending it in turn ("raw" below is the native engine's side).
void StatementBatchOdbcVsNative(benchmark::State& state) {
  try {
    PgOdbcScratch db("batch_vs");
    CreateTrades(db, kOurs);
    CreateTrades(db, kRaw);
    Timed odbc, native;
    for (auto _ : state) {
      auto ours = OpenOurs(db.AdoString());
      auto theirs = std::make_unique<CSQLOperate>();
      if (theirs->Open(db.PgScratch::AdoString().c_str(), kRaw) != 1) {
        throw std::runtime_error("Open failed");
      }
      if (ours->AllocOrderBuff() != 1 || theirs->AllocOrderBuff() != 1) {
        throw std::runtime_error("AllocOrderBuff failed");
      }
      int sends = 0;
      auto send = [&] {
        for (int side = 0; side < 2; ++side) {
          const Lap lap;
          if ((side == 0) == (sends % 2 == 0)) {
            odbc.ok &= ours->ExecBatchInsert(1, 0, "bench") == 1;
            lap.AddTo(&odbc);
          } else {
            native.ok &= theirs->ExecBatchInsert(1, 0, "bench") == 1;
            lap.AddTo(&native);
          }
        }
        ++sends;
      };
      for (long i = 1; i <= kBatchRecords; ++i) {
        std::vector<char> image = RecordImage(*ours, i);
        const bool odbcTook = ours->AddInsertRecordToBuff(image.data(), 0, 0) == 1;
        const bool nativeTook = theirs->AddInsertRecordToBuff(image.data(), 0, 0) == 1;
        if (!odbcTook || !nativeTook) {
          // A full buffer sends both, so that each send carries the same
          // records on both sides.
          send();
          if (!odbcTook) odbc.ok &= ours->AddInsertRecordToBuff(image.data(), 0, 0) == 1;
          if (!nativeTook) native.ok &= theirs->AddInsertRecordToBuff(image.data(), 0, 0) == 1;
        }
        ++odbc.records;
        ++native.records;
      }
      send();
      state.counters["sends"] = sends;
    }
    Report(state, native, odbc);
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
  }
}

template <class Scratch>
void BulkLoad(benchmark::State& state, const char* name) {
  try {
    Scratch db(std::string("bulk_") + name);
    CreateTrades(db, kOurs);
    CreateTrades(db, kRaw);
    const auto raw = RawWriter(db);
    // The bulk-load file goes to log/ below the working directory at the
    // time the object is made.
    const std::string dir = ScratchFile("bulkdir_" + std::string(name));
    mkdir(dir.c_str(), 0755);
    mkdir((dir + "/log").c_str(), 0755);
    char previous[4096];
    if (getcwd(previous, sizeof previous) == nullptr) previous[0] = '\0';
    if (chdir(dir.c_str()) != 0) throw std::runtime_error("chdir failed");
    auto op = OpenOurs(db.AdoString());
    if (previous[0] != '\0' && chdir(previous) != 0) throw std::runtime_error("chdir failed");
    Timed ours, theirs;
    for (auto _ : state) {
      if (op->AllocOrderBuff() != 1) throw std::runtime_error("AllocOrderBuff failed");
      int sends = 0;
      const Lap ourLap;
      for (long i = 1; i <= kBulkRecords; ++i) {
        std::vector<char> image = RecordImage(*op, i);
        if (op->AddInsertRecordToBuff(image.data(), 2, 0) != 1) {
          ours.ok &= op->ExecBatchInsert(1, 2, "bench") == 1;
          ++sends;
          ours.ok &= op->AddInsertRecordToBuff(image.data(), 2, 0) == 1;
        }
        ++ours.records;
      }
      ours.ok &= op->ExecBatchInsert(1, 2, "bench") == 1;
      ourLap.AddTo(&ours);
      state.counters["sends"] = sends + 1;
      const Lap rawLap;
      raw.Load(kRaw, 1, kBulkRecords);
      rawLap.AddTo(&theirs);
      theirs.records = kBulkRecords;
    }
    Report(state, theirs, ours);
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
  }
}

void BM_NumberedInsertSqlite(benchmark::State& s) {
  NumberedInsert<SqliteScratch>(s, "sqlite");
}
void BM_NumberedInsertPostgres(benchmark::State& s) {
  NumberedInsert<PgScratch>(s, "pg");
}
void BM_StatementBatchSqlite(benchmark::State& s) {
  StatementBatch<SqliteScratch>(s, "sqlite");
}
void BM_StatementBatchPostgres(benchmark::State& s) {
  StatementBatch<PgScratch>(s, "pg");
}
void BM_BulkLoadSqlite(benchmark::State& s) {
  BulkLoad<SqliteScratch>(s, "sqlite");
}
void BM_BulkLoadPostgres(benchmark::State& s) {
  BulkLoad<PgScratch>(s, "pg");
}
// The statement batch through the ODBC engine and psqlODBC, against the
// same raw libpq baseline.
void BM_StatementBatchOdbcPostgres(benchmark::State& s) {
  StatementBatch<PgOdbcScratch>(s, "odbc");
}
// ratio: ODBC to PostgreSQL per native PostgreSQL engine.
void BM_StatementBatchOdbcVsPostgres(benchmark::State& s) {
  StatementBatchOdbcVsNative(s);
}
BENCHMARK(BM_NumberedInsertSqlite)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_NumberedInsertPostgres)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_StatementBatchSqlite)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_StatementBatchPostgres)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_StatementBatchOdbcPostgres)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_StatementBatchOdbcVsPostgres)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_BulkLoadSqlite)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_BulkLoadPostgres)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace
}  // namespace kestal::bench
