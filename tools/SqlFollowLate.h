// The late-row side of "kestal sql follow": keys the window fetch passed over
// are reported and watched for a bounded time, late rows are handed out
// marked late, keys still missing at the end are reported once as skipped
// for good; on PostgreSQL a gap can be held by evidence (transactions still
// in flight) instead of by the count of looks; and a state file carries the
// last key and the watch across restarts.
//
// The follower drives it from its poll loop: BeforeLook and AfterLook around
// each GetRecordsetForBack call, Poll once per loop, Delivered after each
// window written. One LateFollow per follower, on the follower's thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "sql/LateWatch.h"
#include "sql/SQLOperate.h"
#include "tools/Options.h"

namespace kestal::tool {

// What happens to a row found late: printed marked late, reported on stderr
// only, or not looked for at all.
enum class LateMode { kDeliver, kReport, kIgnore };
// How a gap is judged: by the ten looks of the window fetch, or (PostgreSQL)
// by the transactions in flight when it was first seen.
enum class GapWait { kCount, kEvidence };

struct LateOptions {
  int64_t window_ms = 600000;  // --late-window: how long skipped keys are watched
  LateMode mode = LateMode::kReport;
  GapWait gap_wait = GapWait::kCount;
  int64_t gap_max_ms = 60000;  // --gap-max: evidence never holds a gap longer
  std::string state_path;      // --state; empty: no state file
  int look_every = 5;          // polls between two watch queries
};

// Counters of what the late-row side did, kept for a metrics exporter.
struct LateCounters {
  uint64_t skips = 0;                  // runs of keys passed over
  uint64_t keys_skipped = 0;           // keys in them
  uint64_t watch_queries = 0;          // looks sent for watched keys
  uint64_t watch_failures = 0;         // looks that failed
  uint64_t late_rows = 0;              // rows found late (delivered or not)
  uint64_t late_rows_delivered = 0;    // of them printed, marked late
  uint64_t keys_skipped_for_good = 0;  // keys whose watch ended without a row
  uint64_t gap_looks_held = 0;         // looks past the ninth held by evidence
  uint64_t gaps_passed_early = 0;      // gaps passed with nothing in flight
  uint64_t gaps_passed_at_limit = 0;   // gaps passed at --gap-max
  uint64_t state_writes = 0;
};

// The option names follow takes for this side, and their help text.
extern const char kLateUsage[];

// The options of this side from opts. Throws UsageError for a bad value.
LateOptions ParseLateOptions(const Options& opts);

// Milliseconds of a duration: a whole number with an optional unit ms, s, m
// or h (seconds without one). Throws UsageError naming option otherwise.
int64_t ParseDuration(const std::string& option, const std::string& text);

class LateFollow {
 public:
  // How a late row is printed: value_of(column) gives each column's value.
  using RowSink = std::function<void(const std::function<std::string(const std::string&)>&)>;

  // Says on stderr when evidence was asked for and the engine shows none.
  LateFollow(CSQLOperate& sql, LateOptions options, std::string tag, std::string filter);

  // The key to follow after: the state file's when it exists (the watch it
  // carries is taken up), else from, which is then written to a new state
  // file. Throws ToolError for a state file that cannot be read or written.
  std::string Resume(const std::string& from, const std::string& key_column);

  // Before each GetRecordsetForBack call: with evidence, holds the gap
  // series past the tenth look while a transaction seen at its start still
  // runs, or lets the next look pass it when none does.
  void BeforeLook();
  // After each call, with its result: new skips are reported and watched.
  void AfterLook(int result);
  // Once per poll: every few polls one look for watched keys (late rows go
  // to sink), and runs whose time is up are reported skipped for good.
  // Throws ToolError when the state file cannot be written.
  void Poll(const RowSink& sink);
  // After the rows up to key are written and flushed: saves the state.
  void Delivered(const std::string& key);
  // At a stop: names the keys still watched, and whether the state file
  // keeps them for the next run.
  void Stopped() const;

  // With --late deliver each printed line ends with the column kestal_late
  // ("late" for a late row, "" else); these add it.
  void MarkHeader(std::vector<std::string>* names) const;
  void MarkRow(std::vector<std::string>* values, bool late) const;

  const LateCounters& counters() const { return counters_; }
  // The watch itself, also for runs a caller adds of its own.
  LateWatch& watch() { return watch_; }

 private:
  void Look(const RowSink& sink);
  void SaveState();

  CSQLOperate& sql_;
  const LateOptions options_;
  const std::string tag_;
  const std::string filter_;
  std::string key_column_;
  std::string last_key_ = "0";
  LateWatch watch_;
  LateCounters counters_;
  bool evidence_ = false;  // gaps judged by transactions in flight
  bool series_ = false;    // a gap series with a first snapshot
  TxSnapshot first_;       // taken when the series' gap was first seen
  int64_t first_seen_ms_ = 0;
  bool held_noted_ = false;             // the hold of this series was reported
  bool evidence_failed_noted_ = false;  // a failed first snapshot was reported
  int polls_since_look_ = 0;
  bool watch_down_ = false;  // the last look failed (reported once)
};

}  // namespace kestal::tool
