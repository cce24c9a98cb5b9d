// Runs of plain inserts: consecutive statements of a batch that insert
// literal rows into the same table through the same column list, joined into
// one multi-row INSERT. An engine parses, plans and runs one statement of 500
// rows far faster than 500 statements of one row. Internal to the engine
// sessions.
//
// What must hold: the joined statement inserts exactly the rows of its
// statements, in their order, each row converted to the columns as its own
// statement would convert it (a multi-row VALUES of an INSERT is taken row by
// row against the target columns on every engine here). It either inserts all
// of them or none; a session that meets a failure runs the statements again
// one by one, so that the rows before the failing one stay and the failure is
// reported as the statement itself reports it.
#pragma once

#include <string>
#include <vector>

namespace kestal::db::tsql {

// The rows changed the last statement of a joined insert would report
// alone, given the count the joined insert of total_rows rows reported: the
// last statement's rows when every row counted; 0 when none did (rows an
// engine does not count, such as those a view's INSTEAD OF trigger takes);
// else -1 (unknown).
long long LastStatementChanged(long long joined_changed, long long last_rows, long long total_rows);

class InsertRun {
 public:
  // Joins statement to the run when it is a plain insert (FastPath.h) with
  // the same head (INSERT INTO name [(columns)] VALUES, byte for byte) as the
  // run's, or starts the run with it when the run is empty. False, with the
  // run unchanged, otherwise: the caller then sends the run first.
  bool Add(const std::string& statement);

  bool empty() const { return statements_.empty(); }
  size_t size() const { return statements_.size(); }
  size_t bytes() const { return rows_.size() + head_.size(); }
  // The statements of the run, as given.
  const std::vector<std::string>& statements() const { return statements_; }
  // The one INSERT of every row of the run.
  std::string Joined() const { return head_ + " " + rows_; }
  // Rows the last statement of the run inserts.
  long long last_rows() const { return last_rows_; }
  // Rows all statements of the run insert.
  long long total_rows() const { return total_rows_; }
  // LastStatementChanged for this run.
  long long LastChanged(long long joined_changed) const {
    return LastStatementChanged(joined_changed, last_rows_, total_rows_);
  }
  void Clear();

 private:
  std::vector<std::string> statements_;
  std::string head_;  // INSERT INTO name [(columns)] VALUES
  std::string rows_;  // (values), (values), ...
  long long last_rows_ = 0;
  long long total_rows_ = 0;
};

}  // namespace kestal::db::tsql
