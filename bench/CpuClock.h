// CPU time of the calling thread for the SQL benchmarks. Unlike the wall
// clock it leaves out waiting for the disk (a durable commit) and for the
// other processes of a shared machine, so its ratio shows what the library
// itself adds. It does not see a database server's own work.
#pragma once

#include <time.h>

#include "BenchTable.h"

namespace kestal::bench {

// User and system CPU time of this thread, in nanoseconds.
inline long long ThreadCpuNs() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

// Wall and CPU time from construction to AddTo, added to the seconds and cpu
// of a record of one side's run.
class Lap {
 public:
  Lap() : wall_(NowNs()), cpu_(ThreadCpuNs()) {}
  template <class Record>
  void AddTo(Record* record) const {
    record->seconds += static_cast<double>(NowNs() - wall_) / 1e9;
    record->cpu += static_cast<double>(ThreadCpuNs() - cpu_) / 1e9;
  }

 private:
  long long wall_;
  long long cpu_;
};

}  // namespace kestal::bench
