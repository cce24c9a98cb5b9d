// Follow latency: from an append returning in one process to a polling
// follower in another process holding the record. Measured for kestal
// (AddNewRecord, and a follower on ReadToBufferFromFile/MoveNext/
// GetFieldValue) and for the raw baseline (RawAppender, and a follower that
// preads the count and the new records).
#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "BenchTable.h"
#include "RawAppender.h"
#include "dbf/DBFOperate.h"

namespace kestal::bench {
namespace {

constexpr int kSamples = 2000;
constexpr long kGapNs = 300000;  // between appends, so the follower is waiting each time

void SleepNs(long ns) {
  struct timespec ts = {0, ns};
  nanosleep(&ts, nullptr);
}

bool WriteAll(int fd, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t w = write(fd, p, size);
    if (w <= 0) return false;
    p += w;
    size -= static_cast<size_t>(w);
  }
  return true;
}

bool ReadAll(int fd, void* data, size_t size) {
  char* p = static_cast<char*>(data);
  while (size > 0) {
    const ssize_t r = read(fd, p, size);
    if (r <= 0) return false;
    p += r;
    size -= static_cast<size_t>(r);
  }
  return true;
}

// Busy-polls path through CDBFOperate until kSamples records were seen;
// seen[n] is when record n (its REC_NUM) was first in hand.
void KestalFollower(const std::string& path, int ready_fd, std::vector<long long>* seen) {
  auto t = std::make_unique<CDBFOperate>();
  t->Open(path.c_str());
  const CString field("REC_NUM");
  WriteAll(ready_fd, "r", 1);
  for (int got = 0; got < kSamples;) {
    const int n = t->ReadToBufferFromFile(500);
    if (n <= 0) continue;
    for (int k = 0; k < n; ++k) {
      t->MoveNext();
      const long num = atol(t->GetFieldValue(field).c_str());
      if (num >= 1 && num <= kSamples) (*seen)[num] = NowNs();
      ++got;
    }
  }
}

// The same with pread: the count at bytes 4 to 7, then the new records.
void RawFollower(const std::string& path, int ready_fd, std::vector<long long>* seen) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  std::vector<char> buf(500 * kRecordLength);
  WriteAll(ready_fd, "r", 1);
  uint32_t known = 0;
  while (known < static_cast<uint32_t>(kSamples)) {
    uint32_t count = 0;
    if (pread(fd, &count, 4, 4) != 4 || count <= known) continue;
    const uint32_t n = std::min<uint32_t>(count - known, 500);
    const off_t at = kHeaderLength + static_cast<off_t>(known) * kRecordLength;
    if (pread(fd, buf.data(), n * kRecordLength, at) != static_cast<ssize_t>(n * kRecordLength)) {
      continue;
    }
    for (uint32_t k = 0; k < n; ++k) {
      const long num = atol(std::string(&buf[k * kRecordLength + 1], 10).c_str());
      if (num >= 1 && num <= kSamples) (*seen)[num] = NowNs();
    }
    known += n;
  }
  close(fd);
}

struct Latency {
  double median_us = 0;  // append returned -> record in the follower's hand
  double p99_us = 0;
  double start_median_us = 0;  // append called -> record in the follower's hand
  bool ok = false;
};

double Percentile(std::vector<double> v, int pct) {
  std::sort(v.begin(), v.end());
  return v[v.size() * static_cast<size_t>(pct) / 100];
}

// Runs one follower process and kSamples single appends in this process.
Latency Measure(bool kestal) {
  const std::string path =
      MakeTable(ScratchFile(kestal ? "follow-kestal.dbf" : "follow-raw.dbf"), 0);
  int ready[2], results[2];
  if (pipe(ready) != 0 || pipe(results) != 0) return {};
  const pid_t pid = fork();
  if (pid == 0) {
    std::vector<long long> seen(kSamples + 1, 0);
    (kestal ? KestalFollower : RawFollower)(path, ready[1], &seen);
    WriteAll(results[1], seen.data(), seen.size() * sizeof(long long));
    _exit(0);
  }
  char c;
  ReadAll(ready[0], &c, 1);

  std::vector<long long> called(kSamples + 1, 0), returned(kSamples + 1, 0);
  auto table = std::make_unique<CDBFOperate>();
  table->Open(path.c_str());
  RawAppender raw(path);
  const CString tag("WTK");
  bool ok = true;
  for (long i = 1; i <= kSamples; ++i) {
    std::string rec = OrderRecord(i);
    called[i] = NowNs();
    ok &= kestal ? table->AddNewRecord(rec.data(), 1, tag) == 1 : raw.Append(rec.data(), 1);
    returned[i] = NowNs();
    SleepNs(kGapNs);
  }
  std::vector<long long> seen(kSamples + 1, 0);
  ok &= ReadAll(results[0], seen.data(), seen.size() * sizeof(long long));
  int status = 0;
  waitpid(pid, &status, 0);
  for (int fd : {ready[0], ready[1], results[0], results[1]}) close(fd);

  std::vector<double> after_return, after_call;
  for (int i = 1; i <= kSamples; ++i) {
    ok &= seen[i] != 0;
    after_return.push_back(static_cast<double>(seen[i] - returned[i]) / 1000.0);
    after_call.push_back(static_cast<double>(seen[i] - called[i]) / 1000.0);
  }
  Latency l;
  l.median_us = Percentile(after_return, 50);
  l.p99_us = Percentile(after_return, 99);
  l.start_median_us = Percentile(after_call, 50);
  l.ok = ok && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return l;
}

// Median and 99th percentile in microseconds from the append returning to the
// follower holding the record (negative: it had the record before the call
// returned). The raw follower sees the count as soon as it is written, so its
// figures are near zero; the ratio is therefore taken over the whole road,
// from the append being called: kestal median / raw median.
void BM_FollowLatency(benchmark::State& state) {
  Latency raw, kestal;
  for (auto _ : state) {
    raw = Measure(false);
    kestal = Measure(true);
  }
  if (!raw.ok || !kestal.ok) state.SkipWithError("a follower missed records");
  state.counters["raw_median_us"] = raw.median_us;
  state.counters["raw_p99_us"] = raw.p99_us;
  state.counters["kestal_median_us"] = kestal.median_us;
  state.counters["kestal_p99_us"] = kestal.p99_us;
  state.counters["kestal_call_to_seen_median_us"] = kestal.start_median_us;
  state.counters["raw_call_to_seen_median_us"] = raw.start_median_us;
  state.counters["ratio"] = kestal.start_median_us / raw.start_median_us;
}
BENCHMARK(BM_FollowLatency)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace
}  // namespace kestal::bench

BENCHMARK_MAIN();
