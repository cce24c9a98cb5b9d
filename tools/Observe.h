// What a long-running command (bridge, sql follow) shows its operator and
// its service manager: the options --metrics, --stuck-after and --log-format,
// the metrics endpoint, the systemd notifications, and per bridge the meter
// that turns each step into its stats. One Observer per process, made
// before the tables are opened, so that a bad address stops the command
// before it does anything and /readyz answers while it opens.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "tools/Log.h"
#include "tools/Metrics.h"
#include "tools/Notify.h"
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
  ~Observer();

  // Starts the endpoint when --metrics was given and logs its address.
  // Throws ToolError when it cannot bind.
  void Start();

  StatsRegistry& registry() { return registry_; }
  ServiceNotifier& notify() { return notify_; }

 private:
  std::string prefix_;
  std::string address_;
  int64_t stuck_after_ms_ = 0;
  StatsRegistry registry_;
  std::unique_ptr<MetricsServer> server_;
  ServiceNotifier notify_;
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
