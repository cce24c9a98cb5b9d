// The engine seam of the access layer. An engine (SQLite, PostgreSQL) turns
// T-SQL batches, already converted to UTF-8, into rows; everything above this
// seam (Connection, Command, Recordset, code pages) is engine-independent.
//
// Engines register themselves by provider name from a static object in their
// own Session.cc, so an engine left out of the build simply is not offered.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "sql/db/ConnectionString.h"

namespace kestal::db {

// One column value as an engine reads it before storing it: NULL, or UTF-8
// text. Scratch for the engines' fetch code; results keep no Cells.
struct Cell {
  bool null = true;
  std::string text;
};

// Every row of one statement that yields rows, packed. The values of a row lie
// back to back in a byte arena made of blocks that never move once written;
// a row costs one pointer to its first byte and one end offset per column
// (relative to the row's start, the top bit marking NULL; 16 bits while every
// row is under 32 KiB, else 32), so a result takes its values' bytes plus
// 8 + 2 * columns bytes per row (8 + 4 * columns with a long row) and the
// unused tail of its last block. Column names as the engine reports them (matched by
// callers without regard to case); they must be set before the first row.
//
// Filling: AddRow, then one AddText or AddNull per column in column order;
// cells a row leaves out read as NULL, cells past the column count are
// refused. Not thread-safe; a result is filled by one engine call and then
// only read.
class ResultTable {
 public:
  ResultTable();
  ~ResultTable();
  ResultTable(const ResultTable&) = delete;
  ResultTable& operator=(const ResultTable&) = delete;

  std::vector<std::string> columns;

  // Starts a new row (ending the one being filled).
  void AddRow();
  // Appends the next cell of the current row. Raises std::length_error for a
  // row of 2 GiB or more, std::logic_error past the column count or before
  // the first AddRow.
  void AddText(const char* data, size_t size);
  void AddText(const std::string& text) { AddText(text.data(), text.size()); }
  void AddNull();

  size_t RowCount() const { return starts_.size(); }
  // Cell access for row < RowCount() and column < columns.size().
  bool IsNull(size_t row, size_t column) const;
  // The cell's bytes; empty for NULL. Valid as long as the table lives and
  // ConvertText is not called.
  std::string_view Text(size_t row, size_t column) const;
  // Both at once: false for NULL, else true with the cell's bytes in *text.
  bool Cell(size_t row, size_t column, std::string_view* text) const;

  // Replaces the text of every non-NULL cell holding a byte >= 0x80 by
  // convert(text): rows are rewritten in place when they do not grow, else
  // stored again at the arena's end. For the one code-page conversion of a
  // result; the caller's convert must not throw past a half-converted row
  // it cares about (the row then keeps its old text).
  void ConvertText(const std::function<std::string(const std::string&)>& convert);

  // Bytes held by the arena blocks and the row index (for measurement).
  size_t HeldBytes() const;

 private:
  // Makes room for size more bytes at write_; a fresh block is taken when
  // the current one is too small, and with move_row the bytes of the row
  // being filled move along to it.
  void Reserve(size_t size, bool move_row);
  // Closes the current row: pads its missing cells with NULL.
  void FinishRow();
  uint32_t CellEnd(size_t row, size_t column) const;
  // The end offsets, always read and written in their 32-bit form.
  size_t EndCount() const;
  uint32_t EndAt(size_t at) const;
  void SetEnd(size_t at, uint32_t end);
  void PushEnd(uint32_t end);
  // Moves every offset to 32 bits (once, at the first long row).
  void Widen();
  // End offset of the current row's last cell so far (0 before its first).
  uint32_t LastEnd() const;

  std::vector<std::unique_ptr<char[]>> blocks_;
  size_t next_block_ = 0;      // size of the next block to allocate
  size_t block_bytes_ = 0;     // bytes of all blocks
  char* write_ = nullptr;      // next free byte of the current block
  char* block_end_ = nullptr;  // end of the current block
  size_t width_ = 0;           // cells per row, fixed at the first row
  size_t filled_ = 0;          // cells of the current row appended so far
  std::vector<char*> starts_;  // first byte of each row
  // Per cell: its end offset in its row, the top bit marking NULL; in
  // narrow_ends_ while every row is under 32 KiB, else all in wide_ends_.
  std::vector<uint16_t> narrow_ends_;
  std::vector<uint32_t> wide_ends_;
  bool wide_ = false;
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
