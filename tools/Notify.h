// The service manager's side of the long-running commands: under systemd
// with Type=notify, READY=1 once the command has opened its tables,
// STOPPING=1 when a stop was asked for, and WATCHDOG=1 every half of
// WATCHDOG_USEC for as long as the command's loop goes round. A loop stuck
// in a call stops the pings, and systemd restarts the service.
// Without NOTIFY_SOCKET, or in a build without libsystemd, every call does
// nothing. Used by the loop's thread only.
#pragma once

#include <cstdint>
#include <string>

namespace kestal::tool {

class ServiceNotifier {
 public:
  // Reads NOTIFY_SOCKET and WATCHDOG_USEC (and WATCHDOG_PID) once.
  ServiceNotifier();

  // READY=1, with status as the service's status line.
  void Ready(const std::string& status);
  // STOPPING=1.
  void Stopping();
  // From the loop, at least every max_sleep_ms(): WATCHDOG=1 when half the
  // watchdog time has passed since the last.
  void Alive();
  // How long the loop may sleep and still keep the watchdog: ms, or a
  // quarter of the watchdog time when that is shorter.
  int SleepMs(int ms) const;
  // The watchdog time in ms; 0 without a watchdog.
  int64_t watchdog_ms() const { return watchdog_ms_; }

 private:
  void Send(const std::string& state);

  bool active_ = false;       // NOTIFY_SOCKET is set (and libsystemd built in)
  int64_t watchdog_ms_ = 0;   // 0: no watchdog
  int64_t last_ping_ms_ = 0;  // monotonic ms of the last WATCHDOG=1
};

}  // namespace kestal::tool
