// What a long-running command (bridge, sql follow) shows its operator and
// its service manager: the options --metrics, --stuck-after and --log-format,
// the metrics endpoint, the systemd notifications, and per bridge the meter
// that hands the bridge its stats.
//
// One Observer per run, made before the tables are opened, so that a bad
// address stops the command before it does anything and /readyz answers
// while it opens. Several runs of one process (bridges on threads of their
// own) share one registry, one endpoint and one notification socket, behind
// one mutex: READY=1 goes once every expected run has opened, WATCHDOG=1
// only while every live run's loop goes round, STOPPING=1 once.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "tools/Log.h"
#include "tools/Metrics.h"
#include "tools/Options.h"

namespace kestal::tool {

class Bridge;

// The help text of the options below, for a command's usage.
extern const char kObserveUsage[];

class Observer {
 public:
  // Takes --log-format (which applies at once), --metrics and --stuck-after
  // from opts; prefix names the command in log lines ("kestal bridge").
  // Throws UsageError for a bad value.
  Observer(const Options& opts, const std::string& prefix);
  ~Observer();  // the run leaves the watchdog's watch
  Observer(const Observer&) = delete;
  Observer& operator=(const Observer&) = delete;

  // Runs of this process that must open before READY=1 (default 1); set by
  // whoever starts several.
  static void ExpectRuns(int count);

  // Starts the process's endpoint when --metrics was given and logs its
  // address; a later run asking for the same address shares it. Throws
  // ToolError when it cannot bind, or for a second, different address.
  void Start();

  StatsRegistry& registry();

  // The run has opened its tables: READY=1 once every expected run has.
  void Ready(const std::string& status);
  // From the run's loop, each round: WATCHDOG=1 when due and every live run
  // went round lately.
  void Alive();
  // A stop was asked for: STOPPING=1, once per process.
  void Stopping();
  // How long the loop may sleep and still keep the watchdog.
  int SleepMs(int ms) const;

 private:
  std::string prefix_;
  std::string address_;
  int64_t stuck_after_ms_ = 0;
};

// The stats of one bridge, kept up from the bridge's loop.
class BridgeMeter {
 public:
  // Registers the bridge under name and hands the bridge its counters.
  BridgeMeter(Observer& observer, const std::string& name, const std::string& file,
              const std::string& table, Bridge& bridge);
  // After Open: the connection is up.
  void Opened();
  // After each Step: the connection's state (the bridge keeps the counts).
  void Stepped();
  // The bridge's counters (a refused-record path adds to refused).
  BridgeStats& stats() { return *stats_; }

 private:
  std::shared_ptr<BridgeStats> stats_;
  Bridge& bridge_;
};

}  // namespace kestal::tool
