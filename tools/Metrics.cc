#include "tools/Metrics.h"

#include <chrono>
#include <cstdio>
#include <functional>

namespace kestal::tool {
namespace {

const char* const kStateNames[] = {"opening", "up", "busy", "down"};

// A label value in the exposition format: backslash, quote and line feed
// escaped.
std::string LabelValue(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '\\' || c == '"') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

std::string Number(double v) {
  char buf[64];
  snprintf(buf, sizeof buf, "%.3f", v);
  return buf;
}

// One metric family: its HELP and TYPE lines, then one sample per entry.
template <class Entry>
void Family(std::string* out, const char* name, const char* type, const char* help,
            const std::vector<Entry>& entries,
            const std::function<std::string(const Entry&)>& label,
            const std::function<std::string(const Entry&)>& value) {
  if (entries.empty()) return;
  *out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
  for (const Entry& e : entries) {
    const std::string v = value(e);
    if (!v.empty()) *out += std::string(name) + "{" + label(e) + "} " + v + "\n";
  }
}

template <class T>
std::string Count(const std::atomic<T>& a) {
  return std::to_string(a.load());
}

}  // namespace

int64_t WallMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

int64_t MonoMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void LagClock::Observe(BridgeStats* stats, int64_t position, int64_t file_count, int64_t now_ms,
                       int64_t mono_ms) {
  // A file that shrank starts the record of first sightings over.
  if (!seen_.empty() && file_count < seen_.back().first) seen_.clear();
  const int64_t known = seen_.empty() ? position : seen_.back().first;
  if (file_count > known) seen_.emplace_back(file_count, now_ms);
  while (!seen_.empty() && seen_.front().first <= position) seen_.pop_front();
  stats->position = position;
  stats->file_count = file_count;
  if (seen_.empty()) {
    stats->waiting_since_ms = 0;
    stats->progress_mono_ms = mono_ms;  // caught up: nothing can be stuck
  } else {
    stats->waiting_since_ms = seen_.front().second;
  }
}

void BridgeStats::Saw(int64_t position_now, int64_t file_count_now) {
  lag_.Observe(this, position_now, file_count_now, WallMs(), MonoMs());
}

std::shared_ptr<BridgeStats> StatsRegistry::AddBridge(const std::string& name,
                                                      const std::string& file,
                                                      const std::string& table) {
  auto stats = std::make_shared<BridgeStats>();
  stats->progress_mono_ms = MonoMs();
  std::lock_guard<std::mutex> lock(mutex_);
  bridges_.push_back({name, file, table, stats});
  return stats;
}

std::shared_ptr<FollowerStats> StatsRegistry::AddFollower(const std::string& table) {
  auto stats = std::make_shared<FollowerStats>();
  std::lock_guard<std::mutex> lock(mutex_);
  followers_.push_back({table, stats});
  return stats;
}

std::shared_ptr<BridgeStats> StatsRegistry::FindBridge(const std::string& name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const BridgeEntry& b : bridges_) {
    if (b.name == name) return b.stats;
  }
  return nullptr;
}

std::string StatsRegistry::Render(int64_t now_ms) const {
  std::vector<BridgeEntry> bridges;
  std::vector<FollowerEntry> followers;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    bridges = bridges_;
    followers = followers_;
  }
  std::string out;
  using B = BridgeEntry;
  const std::function<std::string(const B&)> bl = [](const B& b) {
    return "bridge=\"" + LabelValue(b.name) + "\"";
  };
  Family<B>(
      &out, "kestal_bridge_info", "gauge", "The file and table of each bridge (always 1).", bridges,
      [](const B& b) {
        return "bridge=\"" + LabelValue(b.name) + "\",file=\"" + LabelValue(b.file) +
               "\",table=\"" + LabelValue(b.table) + "\"";
      },
      [](const B&) { return std::string("1"); });
  Family<B>(&out, "kestal_bridge_records_copied_total", "counter",
            "Records committed to the table by this run.", bridges, bl,
            [](const B& b) { return Count(b.stats->copied); });
  Family<B>(&out, "kestal_bridge_batches_total", "counter", "Batches committed by this run.",
            bridges, bl, [](const B& b) { return Count(b.stats->batches); });
  Family<B>(&out, "kestal_bridge_resends_total", "counter",
            "Batch sends that failed; each such batch is sent again.", bridges, bl,
            [](const B& b) { return Count(b.stats->resends); });
  Family<B>(&out, "kestal_bridge_reconnections_total", "counter",
            "Connections to the database made again after a loss.", bridges, bl,
            [](const B& b) { return Count(b.stats->reconnections); });
  Family<B>(&out, "kestal_bridge_records_refused_total", "counter",
            "Records the database refused for good.", bridges, bl,
            [](const B& b) { return Count(b.stats->refused); });
  Family<B>(&out, "kestal_bridge_file_records", "gauge",
            "Records in the table file at the last look.", bridges, bl,
            [](const B& b) { return Count(b.stats->file_count); });
  Family<B>(&out, "kestal_bridge_table_records", "gauge",
            "Records known to be in the database table (the resume point).", bridges, bl,
            [](const B& b) { return Count(b.stats->position); });
  Family<B>(&out, "kestal_bridge_lag_records", "gauge", "Records in the file not yet in the table.",
            bridges, bl, [](const B& b) {
              const int64_t lag = b.stats->file_count.load() - b.stats->position.load();
              return std::to_string(lag > 0 ? lag : 0);
            });
  Family<B>(&out, "kestal_bridge_lag_seconds", "gauge",
            "Age of the oldest record not yet copied, from the first look that found it in the "
            "file; 0 when none waits.",
            bridges, bl, [now_ms](const B& b) {
              const int64_t since = b.stats->waiting_since_ms.load();
              return Number(since > 0 && now_ms > since ? (now_ms - since) / 1000.0 : 0.0);
            });
  Family<B>(&out, "kestal_bridge_last_batch_timestamp_seconds", "gauge",
            "Unix time of the last committed batch; 0 before the first.", bridges, bl,
            [](const B& b) { return Number(b.stats->last_batch_ms.load() / 1000.0); });
  std::vector<std::pair<B, int>> states;
  for (const B& b : bridges) {
    for (int s = 0; s < 4; ++s) states.emplace_back(b, s);
  }
  using BS = std::pair<B, int>;
  Family<BS>(
      &out, "kestal_bridge_connection_state", "gauge",
      "1 for the state of the bridge's database connection: opening, up, busy (locked by "
      "another connection) or down.",
      states,
      [](const BS& e) {
        return "bridge=\"" + LabelValue(e.first.name) + "\",state=\"" + kStateNames[e.second] +
               "\"";
      },
      [](const BS& e) { return std::string(e.first.stats->link.load() == e.second ? "1" : "0"); });

  using F = FollowerEntry;
  const std::function<std::string(const F&)> fl = [](const F& f) {
    return "table=\"" + LabelValue(f.table) + "\"";
  };
  Family<F>(&out, "kestal_follow_rows_delivered_total", "counter",
            "Rows written to the output, late rows included.", followers, fl,
            [](const F& f) { return Count(f.stats->rows); });
  Family<F>(&out, "kestal_follow_gap_holds_total", "counter",
            "Looks that held a window back because its keys were not contiguous.", followers, fl,
            [](const F& f) { return Count(f.stats->gap_holds); });
  Family<F>(&out, "kestal_follow_forced_deliveries_total", "counter",
            "Windows with a gap delivered anyway at the tenth look.", followers, fl,
            [](const F& f) { return Count(f.stats->forced); });
  Family<F>(&out, "kestal_follow_late_rows_total", "counter",
            "Rows found after the follower had passed their key.", followers, fl,
            [](const F& f) { return Count(f.stats->late_rows); });
  Family<F>(&out, "kestal_follow_reconnections_total", "counter",
            "Connections to the database made again after a loss.", followers, fl,
            [](const F& f) { return Count(f.stats->reconnections); });
  Family<F>(&out, "kestal_follow_last_key", "gauge", "Key of the last row delivered.", followers,
            fl, [](const F& f) {
              return f.stats->has_key.load() ? Count(f.stats->last_key) : std::string();
            });
  std::vector<std::pair<F, int>> fstates;
  for (const F& f : followers) {
    for (int s = 0; s < 4; ++s) fstates.emplace_back(f, s);
  }
  using FS = std::pair<F, int>;
  Family<FS>(
      &out, "kestal_follow_connection_state", "gauge",
      "1 for the state of the follower's database connection: opening, up, busy or down.", fstates,
      [](const FS& e) {
        return "table=\"" + LabelValue(e.first.table) + "\",state=\"" + kStateNames[e.second] +
               "\"";
      },
      [](const FS& e) { return std::string(e.first.stats->link.load() == e.second ? "1" : "0"); });
  return out;
}

std::string StatsRegistry::NotReady(int64_t mono_ms, int64_t stuck_after_ms) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string reasons;
  for (const BridgeEntry& b : bridges_) {
    const auto link = static_cast<LinkState>(b.stats->link.load());
    const std::string who = "bridge " + b.name + ": ";
    if (link == LinkState::kOpening) {
      reasons += who + "not open yet\n";
    } else if (link == LinkState::kDown) {
      reasons += who + "the database cannot be reached\n";
    } else if (b.stats->waiting_since_ms.load() != 0 &&
               mono_ms - b.stats->progress_mono_ms.load() > stuck_after_ms) {
      reasons += who +
                 "stuck: " + std::to_string(b.stats->file_count.load() - b.stats->position.load()) +
                 " records wait and no batch committed for " +
                 std::to_string((mono_ms - b.stats->progress_mono_ms.load()) / 1000) + " s\n";
    }
  }
  for (const FollowerEntry& f : followers_) {
    const auto link = static_cast<LinkState>(f.stats->link.load());
    if (link == LinkState::kOpening) reasons += "follower " + f.table + ": not open yet\n";
    if (link == LinkState::kDown) {
      reasons += "follower " + f.table + ": the database cannot be reached\n";
    }
  }
  return reasons;
}

}  // namespace kestal::tool
