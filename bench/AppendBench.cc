// Appending: single records through AddNewRecord against the raw cycle any
// correct appender needs (lock the count, read it, write the record and the
// end-of-file byte, write the count, unlock), and 500-record batches against
// plain sequential pwrite bandwidth.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "BenchTable.h"
#include "RawAppender.h"
#include "dbf/DBFOperate.h"

namespace kestal::bench {
namespace {

std::string Records(long first, int n) {
  std::string out;
  for (long i = first; i < first + n; ++i) out += OrderRecord(i);
  return out;
}

// Goal: kestal's cost per append at most twice the raw cycle's (ratio <= 2).
void BM_AppendOneVsRawCycle(benchmark::State& state) {
  const std::string raw_path = MakeTable(ScratchFile("append1-raw.dbf"), 0);
  const std::string lib_path = MakeTable(ScratchFile("append1-kestal.dbf"), 0);
  RawAppender raw(raw_path);
  auto table = std::make_unique<CDBFOperate>();
  if (!table->Open(lib_path.c_str())) state.SkipWithError("open failed");
  const std::string record = OrderRecord(1);
  std::string scratch = record;
  const CString tag("WTK");
  constexpr int kPerIteration = 2000;
  long long raw_ns = 0, lib_ns = 0;
  bool ok = true;
  for (auto _ : state) {
    long long t0 = NowNs();
    for (int i = 0; i < kPerIteration; ++i) ok &= raw.Append(record.data(), 1);
    raw_ns += NowNs() - t0;
    t0 = NowNs();
    for (int i = 0; i < kPerIteration; ++i) ok &= table->AddNewRecord(scratch.data(), 1, tag) == 1;
    lib_ns += NowNs() - t0;
  }
  if (!ok) state.SkipWithError("an append failed");
  const double n = static_cast<double>(state.iterations()) * kPerIteration;
  state.counters["raw_ns/append"] = static_cast<double>(raw_ns) / n;
  state.counters["kestal_ns/append"] = static_cast<double>(lib_ns) / n;
  state.counters["ratio"] = static_cast<double>(lib_ns) / static_cast<double>(raw_ns);
}
BENCHMARK(BM_AppendOneVsRawCycle)->Unit(benchmark::kMillisecond)->Iterations(20);

// Goal: kestal's bandwidth at least half of plain pwrite's (ratio >= 0.5).
// Argument 1: tag "WTK" (REC_NUM stamped in every record); 0: tag "CJK".
void BM_AppendBatchVsRawWrite(benchmark::State& state) {
  const std::string raw_path = MakeTable(ScratchFile("append500-raw.dbf"), 0);
  const std::string lib_path = MakeTable(ScratchFile("append500-kestal.dbf"), 0);
  RawAppender raw(raw_path);
  auto table = std::make_unique<CDBFOperate>();
  if (!table->Open(lib_path.c_str())) state.SkipWithError("open failed");
  constexpr int kBatch = 500;
  constexpr int kBatchesPerIteration = 100;
  const std::string batch = Records(1, kBatch);
  std::string scratch = batch;
  const CString tag(state.range(0) ? "WTK" : "CJK");
  long long raw_ns = 0, lib_ns = 0;
  bool ok = true;
  for (auto _ : state) {
    long long t0 = NowNs();
    for (int i = 0; i < kBatchesPerIteration; ++i) ok &= raw.Write(batch.data(), batch.size());
    raw_ns += NowNs() - t0;
    t0 = NowNs();
    for (int i = 0; i < kBatchesPerIteration; ++i) {
      ok &= table->AddNewRecord(scratch.data(), kBatch, tag) == 1;
    }
    lib_ns += NowNs() - t0;
  }
  if (!ok) state.SkipWithError("an append failed");
  const double bytes =
      static_cast<double>(state.iterations()) * kBatchesPerIteration * batch.size();
  state.counters["raw_MB/s"] = bytes / static_cast<double>(raw_ns) * 1e3;
  state.counters["kestal_MB/s"] = bytes / static_cast<double>(lib_ns) * 1e3;
  state.counters["ratio"] = static_cast<double>(raw_ns) / static_cast<double>(lib_ns);
}
BENCHMARK(BM_AppendBatchVsRawWrite)
    ->ArgName("wtk")
    ->Arg(1)
    ->Arg(0)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(10);

}  // namespace
}  // namespace kestal::bench
