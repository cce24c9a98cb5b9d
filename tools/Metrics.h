// What the long-running commands count, and the HTTP endpoint that shows it
// (--metrics ADDR:PORT): /metrics in the Prometheus text format, /healthz
// (the process answers) and /readyz (every bridge and follower reaches its
// database and no bridge is stuck).
//
// Threads: the stats of a bridge or follower are written only by the thread
// that runs its loop, through atomics; the HTTP thread only reads them. The
// registry's mutex guards its lists, which grow while the command starts.
// A bridge is stuck when records wait in the file and no batch has
// committed for the stuck time (--stuck-after); a bridge that has just
// caught up, or just started, counts from then.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace kestal::tool {

// The state of a bridge's or follower's database connection.
enum class LinkState : int { kOpening = 0, kUp = 1, kBusy = 2, kDown = 3 };

struct BridgeStats;

// Tracks, on the bridge's thread, when each record not yet copied was first
// seen in the file, for the lag in seconds: the age of the oldest record not
// yet copied, measured from the first look that found it.
class LagClock {
 public:
  // After each look: position records are in the table, file_count in the
  // file, now_ms is the wall clock. Sets waiting_since_ms and, when the
  // bridge has caught up, progress_mono_ms.
  void Observe(BridgeStats* stats, int64_t position, int64_t file_count, int64_t now_ms,
               int64_t mono_ms);

 private:
  // (record count, when the records up to it were first seen), oldest first.
  std::deque<std::pair<int64_t, int64_t>> seen_;
};

// The counters of one bridge.
struct BridgeStats {
  std::atomic<uint64_t> copied{0};         // records committed by this run
  std::atomic<uint64_t> batches{0};        // batches committed by this run
  std::atomic<uint64_t> resends{0};        // failed sends; each batch goes again
  std::atomic<uint64_t> reconnections{0};  // connections made again after a loss
  std::atomic<uint64_t> refused{0};        // records the database refused for good
  std::atomic<int64_t> file_count{0};      // records in the file at the last look
  std::atomic<int64_t> position{0};        // records known to be in the table
  // Wall clock (ms since the epoch) of the last committed batch; 0: none yet.
  std::atomic<int64_t> last_batch_ms{0};
  // Wall clock at which the oldest record not yet copied was first seen in
  // the file; 0 while nothing waits.
  std::atomic<int64_t> waiting_since_ms{0};
  // Monotonic ms of the last progress: a committed batch, catching up, or
  // the start; the stuck test counts from it.
  std::atomic<int64_t> progress_mono_ms{0};
  std::atomic<int> link{static_cast<int>(LinkState::kOpening)};

  // On the bridge's thread, at each look at the file and after each commit:
  // the counts and the age of the oldest record not yet copied.
  void Saw(int64_t position_now, int64_t file_count_now);

 private:
  LagClock lag_;  // the bridge's thread only
};

// The counters of one follower (sql follow).
struct FollowerStats {
  std::atomic<uint64_t> rows{0};           // rows delivered, late ones included
  std::atomic<uint64_t> gap_holds{0};      // looks that held a window back at a gap
  std::atomic<uint64_t> forced{0};         // windows delivered at the tenth look
  std::atomic<uint64_t> late_rows{0};      // rows found after their key was passed
  std::atomic<uint64_t> reconnections{0};  // connections made again after a loss
  std::atomic<int64_t> last_key{0};        // key of the last row delivered
  std::atomic<bool> has_key{false};        // last_key is set
  std::atomic<int> link{static_cast<int>(LinkState::kOpening)};
};

// The bridges and followers of one process, by name.
class StatsRegistry {
 public:
  // A new bridge's stats; name labels its series (bridge="NAME"), file and
  // table are shown beside it in kestal_bridge_info.
  std::shared_ptr<BridgeStats> AddBridge(const std::string& name, const std::string& file,
                                         const std::string& table);
  // A new follower's stats, labelled table="TABLE".
  std::shared_ptr<FollowerStats> AddFollower(const std::string& table);
  // The stats of the bridge called name, or null (for code that reports
  // into a bridge it did not create, such as a refused-record path).
  std::shared_ptr<BridgeStats> FindBridge(const std::string& name) const;

  // Every series in the Prometheus text exposition format (version 0.0.4).
  std::string Render(int64_t now_ms) const;
  // Empty when ready; else one line per reason ("bridge orders: the database
  // cannot be reached").
  std::string NotReady(int64_t mono_ms, int64_t stuck_after_ms) const;

 private:
  struct BridgeEntry {
    std::string name, file, table;
    std::shared_ptr<BridgeStats> stats;
  };
  struct FollowerEntry {
    std::string table;
    std::shared_ptr<FollowerStats> stats;
  };
  mutable std::mutex mutex_;
  std::vector<BridgeEntry> bridges_;
  std::vector<FollowerEntry> followers_;
};

// Wall clock and monotonic clock in milliseconds.
int64_t WallMs();
int64_t MonoMs();

// The HTTP endpoint over one registry, on a thread of its own.
class MetricsServer {
 public:
  // address is ADDR:PORT (IPv6 as [ADDR]:PORT; port 0 picks a free one).
  // Throws UsageError for a malformed address.
  MetricsServer(const StatsRegistry& registry, const std::string& address, int64_t stuck_after_ms);
  ~MetricsServer();  // stops the thread
  // Throws UsageError unless address has the form ADDR:PORT.
  static void CheckAddress(const std::string& address);
  MetricsServer(const MetricsServer&) = delete;
  MetricsServer& operator=(const MetricsServer&) = delete;

  // Binds and starts serving; returns the bound address ("127.0.0.1:9187").
  // Throws ToolError when the address cannot be bound (in use, not local,
  // not resolvable) or when kestal was built without HTTP support.
  std::string Start();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kestal::tool
