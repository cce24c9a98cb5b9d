// The engine seam of the access layer. An engine (SQLite, PostgreSQL) turns
// T-SQL batches, already converted to UTF-8, into rows; everything above this
// seam (Connection, Command, Recordset, code pages) is engine-independent.
//
// Engines register themselves by provider name from a static object in their
// own Session.cc, so an engine left out of the build simply is not offered.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sql/db/ConnectionString.h"

namespace kestal::db {

// One column value as the engine gave it: NULL, or UTF-8 text.
struct Cell {
  bool null = true;
  std::string text;
};

// Every row of one statement that yields rows. Column names as the engine
// reports them (matched by callers without regard to case).
struct ResultTable {
  std::vector<std::string> columns;
  std::vector<std::vector<Cell>> rows;
};

// One live engine connection. Not thread-safe: one caller at a time, as a
// Connection is.
class EngineSession {
 public:
  virtual ~EngineSession() = default;
  // Runs a T-SQL batch (UTF-8; statements separated by ';'), in order. Returns
  // the rows of the last statement that yields rows, or null when none does.
  // A failing statement stops the batch and raises _com_error (description in
  // UTF-8).
  virtual std::unique_ptr<ResultTable> Execute(const std::string& tsql) = 0;
  // Opens a host transaction; raises _com_error when one is open already.
  virtual void Begin() = 0;
  // Commits the host transaction; raises _com_error(kTransactionError) when
  // none is open.
  virtual void Commit() = 0;
  virtual bool InTransaction() const = 0;
  // Rows changed by the last INSERT, UPDATE or DELETE of the last Execute,
  // or -1 when it ran none or the engine cannot tell.
  virtual long long RowsChanged() const { return -1; }
};

// Opens an engine session for a parsed connection string; timeout_seconds is
// the connection time-out (also how long a busy engine is waited for).
using EngineFactory =
    std::function<std::unique_ptr<EngineSession>(const ConnectionString&, long timeout_seconds)>;

// Registers factory under a provider name (compared without regard to case).
// Returns true, so that a static initialiser can call it.
bool RegisterEngine(const std::string& provider, EngineFactory factory);

// Opens the engine named by the connection string's Provider. Raises
// _com_error(kConnectionError) for an unknown provider or a failed connect.
std::unique_ptr<EngineSession> OpenEngine(const ConnectionString& connection, long timeout_seconds);

}  // namespace kestal::db
