#include "tools/Signals.h"

#include <signal.h>
#include <time.h>

#include <atomic>

namespace kestal::tool {
namespace {

// Read by every bridge thread and set from the handler: a lock-free atomic
// is both signal-safe and free of data races.
std::atomic<bool> g_stop{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the stop flag must be lock-free");

// Handler of SIGINT and SIGTERM: only notes the request.
void OnStop(int) {
  g_stop.store(true);
}

}  // namespace

void InstallStopHandlers() {
  struct sigaction sa {};
  sa.sa_handler = OnStop;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

bool StopRequested() {
  return g_stop.load();
}

void SleepUnlessStopped(int ms) {
  // In slices: the signal cuts short only the sleep of the thread it lands
  // on, and every other thread must notice the stop soon too.
  while (ms > 0 && !g_stop) {
    const int slice = ms < 100 ? ms : 100;
    struct timespec ts {};
    ts.tv_nsec = static_cast<long>(slice) * 1000000L;
    nanosleep(&ts, nullptr);
    ms -= slice;
  }
}

}  // namespace kestal::tool
