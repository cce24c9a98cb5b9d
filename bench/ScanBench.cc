// Scanning a 1,000,000-record table held in the page cache: block reads
// alone against a raw pread loop, the full scan (block read, MoveNext and one
// GetFieldValue per record), and the full scan against Shapelib's reader.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <shapefil.h>
#include <unistd.h>

#include <memory>
#include <vector>

#include "BenchTable.h"
#include "dbf/DBFOperate.h"

namespace kestal::bench {
namespace {

constexpr long kRecords = 1000000;
constexpr int kBlock = 500;

const std::string& ScanTable() {
  static const std::string path = MakeTable(ScratchFile("scan.dbf"), kRecords);
  return path;
}

// Reads the records of the table in 500-record preads; returns nanoseconds.
long long RawScan(const std::string& path, std::vector<char>* buf) {
  const long long t0 = NowNs();
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  const size_t block = static_cast<size_t>(kBlock) * kRecordLength;
  off_t at = kHeaderLength;
  const off_t end = kHeaderLength + static_cast<off_t>(kRecords) * kRecordLength;
  while (at < end) {
    const ssize_t n = pread(fd, buf->data(), std::min<off_t>(block, end - at), at);
    if (n <= 0) break;
    at += n;
  }
  close(fd);
  benchmark::DoNotOptimize(buf->data());
  return NowNs() - t0;
}

// ReadToBufferFromFile(500) over the whole table. The position is a public
// member: it is set directly so that only the block reads are timed.
long long BlockScan(const std::string& path) {
  const long long t0 = NowNs();
  auto t = std::make_unique<CDBFOperate>();
  t->Open(path.c_str());
  long read = 0;
  for (int n; (n = t->ReadToBufferFromFile(kBlock)) > 0;) {
    read += n;
    t->m_lCurPos += n;
  }
  t->Close();
  benchmark::DoNotOptimize(read);
  return NowNs() - t0;
}

// The reader's loop of a host: block read, then MoveNext and one field per record.
long long FullScan(const std::string& path, long* checksum) {
  const long long t0 = NowNs();
  auto t = std::make_unique<CDBFOperate>();
  t->Open(path.c_str());
  const CString field("STOCK");
  long sum = 0;
  for (int n; (n = t->ReadToBufferFromFile(kBlock)) > 0;) {
    for (int k = 0; k < n; ++k) {
      t->MoveNext();
      sum += t->GetFieldValue(field).GetLength();
    }
  }
  t->Close();
  *checksum = sum;
  return NowNs() - t0;
}

long long ShapelibScan(const std::string& path, long* checksum) {
  const long long t0 = NowNs();
  DBFHandle h = DBFOpen(path.c_str(), "rb");
  const int field = DBFGetFieldIndex(h, "STOCK");
  const int count = DBFGetRecordCount(h);
  long sum = 0;
  for (int i = 0; i < count; ++i) {
    const char* v = DBFReadStringAttribute(h, i, field);
    sum += static_cast<long>(std::char_traits<char>::length(v));
  }
  DBFClose(h);
  *checksum = sum;
  return NowNs() - t0;
}

void SetRates(benchmark::State& state, long long raw_ns, long long subject_ns, const char* raw,
              const char* subject) {
  const double bytes = static_cast<double>(state.iterations()) * kRecords * kRecordLength;
  const double records = static_cast<double>(state.iterations()) * kRecords;
  state.counters[std::string(raw) + "_Mrec/s"] = records / static_cast<double>(raw_ns) * 1e3;
  state.counters[std::string(subject) + "_Mrec/s"] =
      records / static_cast<double>(subject_ns) * 1e3;
  state.counters[std::string(raw) + "_MB/s"] = bytes / static_cast<double>(raw_ns) * 1e3;
  state.counters["ratio"] = static_cast<double>(raw_ns) / static_cast<double>(subject_ns);
}

// Goal: a ratio (kestal rate / raw rate) of at least 0.5.
void BM_BlockReadVsRawPread(benchmark::State& state) {
  const std::string& path = ScanTable();
  std::vector<char> buf(static_cast<size_t>(kBlock) * kRecordLength);
  long long raw = 0, kestal = 0;
  for (auto _ : state) {
    raw += RawScan(path, &buf);
    kestal += BlockScan(path);
  }
  SetRates(state, raw, kestal, "raw", "kestal");
}
BENCHMARK(BM_BlockReadVsRawPread)->Unit(benchmark::kMillisecond)->Iterations(10);

// The rate of a full scan; the ratio is to the raw pread loop, for scale.
void BM_FullScan(benchmark::State& state) {
  const std::string& path = ScanTable();
  std::vector<char> buf(static_cast<size_t>(kBlock) * kRecordLength);
  long long raw = 0, kestal = 0;
  long sum = 0;
  for (auto _ : state) {
    raw += RawScan(path, &buf);
    kestal += FullScan(path, &sum);
  }
  if (sum != 6L * kRecords) state.SkipWithError("wrong field values");
  SetRates(state, raw, kestal, "raw", "kestal");
}
BENCHMARK(BM_FullScan)->Unit(benchmark::kMillisecond)->Iterations(5);

// Ratio: kestal's full-scan rate / Shapelib's (DBFOpen, DBFReadStringAttribute).
void BM_FullScanVsShapelib(benchmark::State& state) {
  const std::string& path = ScanTable();
  long long shp = 0, kestal = 0;
  long sum_shp = 0, sum_kestal = 0;
  for (auto _ : state) {
    shp += ShapelibScan(path, &sum_shp);
    kestal += FullScan(path, &sum_kestal);
  }
  if (sum_shp != sum_kestal) state.SkipWithError("the readers disagree");
  SetRates(state, shp, kestal, "shapelib", "kestal");
}
BENCHMARK(BM_FullScanVsShapelib)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace
}  // namespace kestal::bench
