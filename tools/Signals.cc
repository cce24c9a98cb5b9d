#include "tools/Signals.h"

#include <signal.h>
#include <time.h>

namespace kestal::tool {
namespace {

volatile sig_atomic_t g_stop = 0;

// Handler of SIGINT and SIGTERM: only notes the request.
void OnStop(int) {
  g_stop = 1;
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
  return g_stop != 0;
}

void SleepUnlessStopped(int ms) {
  if (g_stop) return;
  struct timespec ts {};
  ts.tv_sec = ms / 1000;
  ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
  nanosleep(&ts, nullptr);  // a signal cuts it short
}

}  // namespace kestal::tool
