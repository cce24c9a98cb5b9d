#include "tools/Observe.h"

#include <map>
#include <mutex>

#include "tools/Bridge.h"
#include "tools/Notify.h"
#include "tools/ToolError.h"

namespace kestal::tool {
namespace {

// What the runs of the process share; every member under mutex, but the
// registry, which guards itself.
struct Process {
  std::mutex mutex;
  StatsRegistry registry;
  std::unique_ptr<MetricsServer> server;
  std::string address;  // as the first run asked for it
  ServiceNotifier notify;
  int expected = 1;
  int opened = 0;
  bool ready_sent = false;
  bool stopping_sent = false;
  std::map<const Observer*, int64_t> rounds;  // the last loop round of each live run
};

Process& TheProcess() {
  static Process process;
  return process;
}

}  // namespace

const char kObserveUsage[] =
    "  --metrics ADDR:PORT  serve /metrics (Prometheus text format), /healthz and\n"
    "                 /readyz over HTTP on ADDR:PORT ([ADDR]:PORT for IPv6; port 0\n"
    "                 picks a free port, named on stderr)\n"
    "  --stuck-after S  /readyz fails once records wait and no batch has\n"
    "                 committed for S seconds (default 60)\n"
    "  --log-format text|json  notices on stderr as text lines (default) or as\n"
    "                 one JSON object per line\n";

Observer::Observer(const Options& opts, const std::string& prefix)
    : prefix_(prefix),
      address_(opts.Get("metrics")),
      stuck_after_ms_(opts.GetLong("stuck-after", 60, 1, 86400) * 1000) {
  SetLogFormat(opts.Get("log-format", "text"));
  if (opts.Has("metrics")) MetricsServer::CheckAddress(address_);
  Process& p = TheProcess();
  std::lock_guard<std::mutex> lock(p.mutex);
  p.rounds[this] = MonoMs();
}

Observer::~Observer() {
  Process& p = TheProcess();
  std::lock_guard<std::mutex> lock(p.mutex);
  p.rounds.erase(this);
}

void Observer::ExpectRuns(int count) {
  Process& p = TheProcess();
  std::lock_guard<std::mutex> lock(p.mutex);
  p.expected = count > 0 ? count : 1;
}

void Observer::Start() {
  if (address_.empty()) return;
  Process& p = TheProcess();
  std::lock_guard<std::mutex> lock(p.mutex);
  if (p.server) {
    if (address_ != p.address) {
      throw ToolError("one metrics endpoint per process: " + p.address + " serves already, not " +
                      address_);
    }
    return;
  }
  auto server = std::make_unique<MetricsServer>(p.registry, address_, stuck_after_ms_);
  const std::string bound = server->Start();
  p.server = std::move(server);
  p.address = address_;
  Logger(prefix_, "", "").Info("metrics", "metrics on http://" + bound + "/metrics");
}

StatsRegistry& Observer::registry() {
  return TheProcess().registry;
}

void Observer::Ready(const std::string& status) {
  Process& p = TheProcess();
  std::lock_guard<std::mutex> lock(p.mutex);
  p.rounds[this] = MonoMs();
  if (++p.opened < p.expected || p.ready_sent) return;
  p.ready_sent = true;
  p.notify.Ready(p.expected > 1 ? std::to_string(p.opened) + " bridges running" : status);
}

void Observer::Alive() {
  Process& p = TheProcess();
  std::lock_guard<std::mutex> lock(p.mutex);
  const int64_t now = MonoMs();
  p.rounds[this] = now;
  // A run whose loop hangs holds back every ping, so that systemd restarts
  // the process; a run that ended has left the map.
  for (const auto& r : p.rounds) {
    if (now - r.second > p.notify.watchdog_ms() / 2) return;
  }
  p.notify.Alive();
}

void Observer::Stopping() {
  Process& p = TheProcess();
  std::lock_guard<std::mutex> lock(p.mutex);
  if (p.stopping_sent) return;
  p.stopping_sent = true;
  p.notify.Stopping();
}

int Observer::SleepMs(int ms) const {
  Process& p = TheProcess();
  std::lock_guard<std::mutex> lock(p.mutex);
  return p.notify.SleepMs(ms);
}

BridgeMeter::BridgeMeter(Observer& observer, const std::string& name, const std::string& file,
                         const std::string& table, Bridge& bridge)
    : stats_(observer.registry().AddBridge(name, file, table)), bridge_(bridge) {
  bridge_.set_stats(stats_.get());
}

void BridgeMeter::Opened() {
  stats_->link = static_cast<int>(LinkState::kUp);
  stats_->progress_mono_ms = MonoMs();
  stats_->Saw(bridge_.position(), bridge_.file_count());
  Stepped();
}

void BridgeMeter::Stepped() {
  const LinkState link = !bridge_.reachable()      ? LinkState::kDown
                         : !bridge_.busy().empty() ? LinkState::kBusy
                                                   : LinkState::kUp;
  stats_->link = static_cast<int>(link);
  stats_->refused = static_cast<uint64_t>(bridge_.rejected());
}

}  // namespace kestal::tool
