#include "tools/Notify.h"

#include <chrono>
#include <cstdlib>

#ifdef KESTAL_WITH_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

namespace kestal::tool {
namespace {

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

ServiceNotifier::ServiceNotifier() {
#ifdef KESTAL_WITH_SYSTEMD
  const char* socket = getenv("NOTIFY_SOCKET");
  active_ = socket != nullptr && *socket != '\0';
  uint64_t usec = 0;
  // Also checks WATCHDOG_PID, when set, against this process.
  if (active_ && sd_watchdog_enabled(0, &usec) > 0) {
    watchdog_ms_ = static_cast<int64_t>(usec / 1000);
    if (watchdog_ms_ < 2) watchdog_ms_ = 2;
  }
#endif
}

void ServiceNotifier::Send(const std::string& state) {
#ifdef KESTAL_WITH_SYSTEMD
  if (active_) sd_notify(0, state.c_str());
#else
  (void)state;
#endif
}

void ServiceNotifier::Ready(const std::string& status) {
  Send("READY=1\nSTATUS=" + status);
  if (watchdog_ms_ > 0) {
    Send("WATCHDOG=1");
    last_ping_ms_ = NowMs();
  }
}

void ServiceNotifier::Stopping() {
  Send("STOPPING=1");
}

void ServiceNotifier::Alive() {
  if (watchdog_ms_ <= 0) return;
  const int64_t now = NowMs();
  if (now - last_ping_ms_ < watchdog_ms_ / 2) return;
  Send("WATCHDOG=1");
  last_ping_ms_ = now;
}

int ServiceNotifier::SleepMs(int ms) const {
  if (watchdog_ms_ <= 0) return ms;
  const int64_t quarter = watchdog_ms_ / 4 > 0 ? watchdog_ms_ / 4 : 1;
  return static_cast<int>(ms < quarter ? ms : quarter);
}

}  // namespace kestal::tool
