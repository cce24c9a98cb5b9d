#include "tools/Observe.h"

#include "tools/Bridge.h"
#include "tools/ToolError.h"

namespace kestal::tool {

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
  if (opts.Has("metrics")) {
    server_ = std::make_unique<MetricsServer>(registry_, address_, stuck_after_ms_);
  }
}

Observer::~Observer() = default;

void Observer::Start() {
  if (!server_) return;
  const std::string bound = server_->Start();
  Logger(prefix_, "", "").Info("metrics", "metrics on http://" + bound + "/metrics");
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
}

}  // namespace kestal::tool
