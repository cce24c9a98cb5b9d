// Watching keys that a window fetch passed over (CSQLOperate::GetSkippedKeys)
// for rows that commit late, and telling which transactions could still
// fill a gap (PostgreSQL). Used by "kestal sql follow" and open to hosts.
//
// A LateWatch keeps each run of skipped keys for a bounded time after it was
// skipped. One look sends one query for all watched keys (ranges of the key
// column joined with "or", which the engines answer from the key's index);
// keys found leave the watch, so a late row is handed out once. The watch
// belongs to one CSQLOperate and is used on its caller's thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sql/SQLOperate.h"

namespace kestal {

// A run of skipped keys under watch: keys first to last, skipped at
// skipped_ms, watched until until_ms, last looked for without a row at
// looked_ms (0: not yet by this process); milliseconds since 1970, UTC.
struct WatchedKeys {
  int64_t first;
  int64_t last;
  int64_t skipped_ms;
  int64_t until_ms;
  int64_t looked_ms;
};

class LateWatch {
 public:
  // What one look found.
  struct Found {
    // Rows to hand out (found and meeting the filter), ordered by key; an
    // open result, or null when no key was found.
    _RecordsetPtr rows;
    // Every key found, also those of rows the filter turns away.
    std::vector<int64_t> keys;
  };

  // Runs per query; more runs take turns across looks.
  static constexpr size_t kMaxRunsPerLook = 200;

  // Watches each run for window_ms after it was skipped.
  explicit LateWatch(int64_t window_ms) : window_ms_(window_ms) {}

  // Starts watching run until run.tSkipped + the window.
  void Watch(const SKIPPEDKEYS& run);
  // Watches w as given (a watch carried over from an earlier process).
  void Restore(const WatchedKeys& w);
  const std::vector<WatchedKeys>& watched() const { return runs_; }
  bool empty() const { return runs_.empty(); }
  // Keys under watch.
  int64_t KeyCount() const;

  // One query for the watched keys on sql's connection (a second one, for
  // the rows found only, when strFilter is not empty); found keys leave the
  // watch. strTableTag chooses the key column as GetRecordsetForBack does.
  // Raises _com_error from the database; the watch is then unchanged.
  Found Look(CSQLOperate& sql, const CString& strFilter, const CString& strTableTag);

  // Takes out and returns the runs that a look at or after the end of their
  // time did not find: their keys are skipped for good.
  std::vector<WatchedKeys> Expire();

 private:
  // Takes key out of the watch, splitting its run when needed.
  void Remove(int64_t key);

  int64_t window_ms_;
  std::vector<WatchedKeys> runs_;
  size_t turn_ = 0;  // first run of the next look when runs exceed a query
};

// A PostgreSQL snapshot as pg_current_snapshot() prints it.
struct TxSnapshot {
  uint64_t xmin = 0;
  uint64_t xmax = 0;
  std::vector<uint64_t> xip;  // transactions in flight, ascending
};

// Reads "xmin:xmax:xip,xip,..." into out; false for any other text.
bool ParseTxSnapshot(const std::string& text, TxSnapshot* out);

// True when a transaction in flight at first is still in flight at now.
bool AnyStillInFlight(const TxSnapshot& first, const TxSnapshot& now);

// True when sql is connected to PostgreSQL, whose snapshots show the
// transactions in flight; SQLite shows a reader none.
bool ShowsTransactionsInFlight(const CSQLOperate& sql);

// The current snapshot of sql's connection. Raises _com_error from the
// database and for a reply that is not a snapshot.
TxSnapshot TakeTxSnapshot(CSQLOperate& sql);

// A snapshot whose in-flight list holds every transaction that had written
// anything by now. The server leaves transactions numbered at or above the
// last one completed out of the list, so this first completes a transaction
// of its own (it draws one transaction number), then takes the snapshot.
// Raises _com_error as TakeTxSnapshot.
TxSnapshot TakeStartSnapshot(CSQLOperate& sql);

// Milliseconds since 1970-01-01 UTC.
int64_t WallClockMs();

}  // namespace kestal
