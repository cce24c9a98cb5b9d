// The bridge: copies the records of a growing table file into a database
// table through the order buffer, batch by batch, and resumes after any stop
// without losing or repeating a record.
//
// Resume point: the table's rec_num column holds each record's 1-based
// position in the file, so the highest rec_num (GetMaxNum - 1) is the number
// of records already copied. A batch is atomic: modes 0 and 1 send it between
// BeginTrans and CommitTrans, mode 2 loads it as one bulk load, which the
// engine runs as one transaction. A process killed at any moment therefore
// leaves the table at a batch boundary, and the next run starts after it.
//
// A failed batch is never dropped: the bridge reads the resume point again
// (so a batch whose commit reached the server but whose answer was lost is
// not sent twice), rebuilds the batch from the file and sends it again.
//
// With a reject file (BridgeReject.h), a record the database refuses for
// good is logged there and passed over: the table's rec_num has a hole at
// its position, and the resume point is the highest rec_num moved past the
// logged positions that follow it.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sql/db/ComError.h"

namespace kestal::tool {

struct BridgeStats;

struct BridgeConfig {
  std::string dbf_path;
  std::string connect;  // ADO-style connection string
  std::string table;
  std::string tag = "WTK";    // names the bulk-load file log/OrderTemp_<tag>.txt
  bool keep_padding = false;  // keep the blanks of character fields in varchar/text
  int mode = 0;               // 0 plain inserts, 1 server-numbered inserts, 2 bulk load
  int batch = 500;            // records per batch, 1 to 500
  // Records marked deleted are left out (their rec_num stays a hole) instead
  // of copied. Modes 0 and 2 only: mode 1's server numbering would close the
  // holes and shift every record after one.
  bool skip_deleted = false;
  std::string reject_path;           // empty: a record refused for good stops the bridge
  bool create_table = false;         // create the table from the file's header when missing
  std::vector<std::string> maps;     // "FILE_FIELD=COLUMN"
  std::vector<std::string> ignores;  // file fields copied nowhere
};

struct FieldPlan;

// Receives what the bridge recovers from (lost database, resent batch), one
// line of text each, in the terminal's encoding.
using BridgeNotice = std::function<void(const std::string&)>;

class Bridge {
 public:
  Bridge(const BridgeConfig& config, BridgeNotice notice);
  ~Bridge();
  Bridge(const Bridge&) = delete;
  Bridge& operator=(const Bridge&) = delete;

  // Opens the file and the table, claims the table (TableClaim), matches the
  // fields and reads the resume point. Throws ClaimError when another bridge
  // copies into the table, ToolError otherwise (bad field list, missing
  // file, unknown table, connection failure, a table ahead of the file).
  // Columns no insert fills are told through the notice.
  void Open();

  // As Open, for kestal bridge --check: copies and creates nothing, holds
  // the claim only while it looks whether another bridge has it, and
  // allocates no order buffer. A missing table that --create-table would
  // create is described by create_statement() instead.
  void Inspect();

  // Copies at most one batch of the records not yet in the table. Returns the
  // number committed: 0 when there was nothing new or the batch failed (it is
  // sent again by a later call). Throws ToolError for what waiting cannot
  // mend: a record the database keeps refusing while it stays reachable, a
  // value the table cannot carry, a file that shrank below the resume point.
  long Step();

  long position() const { return position_; }  // records known to be in the table
  // Records in the file at the last look; read also while the database is lost.
  long file_count() const { return file_count_; }
  long copied() const { return copied_; }        // records committed by this run
  long skipped() const { return skipped_; }      // deleted records left out by this run
  bool reachable() const { return reachable_; }  // false while the database is lost
  // The engine's reason while the database is busy (locked by another
  // connection) and the bridge waits for it; empty otherwise.
  const std::string& busy() const { return busy_; }
  long rejected() const { return rejected_; }  // records set aside by this run
  int batch() const { return config_.batch; }
  // Every file field with its column (after Open or Inspect).
  const std::vector<FieldPlan>& plan() const;
  // Columns no insert fills, described.
  const std::vector<std::string>& unfilled() const;
  // The statements that create the table: set when Open created it, or when
  // Inspect found that it would.
  const std::string& create_statement() const { return create_statement_; }
  // Counters that Step keeps for a metrics endpoint (batches, resends,
  // reconnections); null: none are kept. Owned by the caller.
  void set_stats(BridgeStats* stats) { stats_ = stats; }

 private:
  struct Tables;
  // Open and Inspect: everything but the order buffer.
  void OpenSides(bool inspect);
  // Creates the table when --create-table asks and it is missing; true when
  // it is (or, inspecting, would be) created.
  bool PrepareTable(bool inspect);
  // Reads the reject file's lines for the resume point and moves past them.
  void SettleRejects();
  // Logs the record at position (the next one) in the reject file with
  // reason and moves past it. Throws ToolError when the file cannot be read
  // or the line written.
  void Reject(long position, const std::string& reason);
  // Reads the raw image of the record at 1-based position; false when it
  // cannot be read.
  bool ReadImage(long position, std::string* image);
  // Reads the file's record count into file_count_; false when it cannot.
  bool ReadFileCount();
  // Sends records position_+1 .. position_+n, or the first of them;
  // returns how many were committed, 0 when the database took none, -1 when
  // the file could not be read.
  long Send(long n);
  // Fills the order buffer with the first records of the block in mode;
  // returns how many went in.
  long Fill(const std::vector<char>& images, long n, int mode);
  // Makes sure the table is still claimed (TableClaim::Keep), every few
  // seconds; false while the claim's database cannot be reached.
  bool KeepClaim();
  // Gives the field table the image widths of the mapper (RecordMapper::widths):
  // wide enough for every value, so that the library cuts none.
  void ApplyWidths();
  // Reads the resume point again after a failure; false while unreachable.
  bool Recover();
  // The table's highest rec_num, or -1 when it cannot be read.
  long ReadResumePoint();
  void Notice(const std::string& text) const;
  // The connection's last error (status 0 when none was noted).
  _com_error LastFailure() const;
  // "description (status xxxxxxxx)" of e, for messages.
  static std::string Reason(const _com_error& e);

  BridgeConfig config_;
  BridgeNotice notice_;
  std::unique_ptr<Tables> t_;
  long position_ = 0;
  long file_count_ = 0;
  long copied_ = 0;
  long skipped_ = 0;
  long last_skipped_ = 0;  // deleted records left out of the batch Send last committed
  bool reachable_ = true;
  int limit_ = 500;          // records per batch now; 1 while isolating a refused record
  long narrow_until_ = 0;    // back to the full batch once past this position
  int failures_ = 0;         // failed sends in a row at the same position
  bool told_comma_ = false;  // the mode-2 fallback was reported
  long rejected_ = 0;
  std::string refused_;  // the reason of the value Send found its column cannot hold
  std::string create_statement_;
  std::string busy_;  // the reason while waiting for a busy database
  std::chrono::steady_clock::time_point claim_checked_ = std::chrono::steady_clock::now();
  BridgeStats* stats_ = nullptr;
};

}  // namespace kestal::tool
