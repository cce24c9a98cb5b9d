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
  void Clear();

 private:
  std::vector<std::string> statements_;
  std::string head_;  // INSERT INTO name [(columns)] VALUES
  std::string rows_;  // (values), (values), ...
  long long last_rows_ = 0;
};

}  // namespace kestal::db::tsql
