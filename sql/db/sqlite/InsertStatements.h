// Single-row plain inserts on SQLite through prepared statements kept by the
// session: one per head (INSERT INTO T (c, ...) VALUES) and value shape,
// reused row after row and batch after batch, the literals bound.
//
// What must hold: a row goes in exactly as its statement's text would put
// it. Every literal is bound as the value SQLite's parser makes of it: a
// string as its text, NULL as NULL, a whole number as a 64-bit integer, and a
// number with a decimal point through CAST(? AS REAL) on its text, which
// converts with the same routine as the parser. The column affinity then
// applies to the value as it does to a literal. The caller owns the
// transaction around the rows; this class never begins or ends one.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <vector>

#include "sql/db/tsql/InsertBatch.h"

namespace kestal::db::sqlite {

class InsertStatements {
 public:
  explicit InsertStatements(sqlite3* db) : db_(db) {}
  // Finalizes the statements; must go before the connection closes.
  ~InsertStatements();
  InsertStatements(const InsertStatements&) = delete;
  InsertStatements& operator=(const InsertStatements&) = delete;

  // Inserts the rows of statements first .. first+count-1 of batch, in
  // order. Raises _com_error (Raise) for the first that fails, to prepare or
  // to run, after inserting those before it; the failing row leaves nothing.
  void Insert(const tsql::InsertBatch& batch, size_t first, size_t count);

 private:
  struct Entry {
    std::string key;  // head, NUL, shape
    sqlite3_stmt* st = nullptr;
    uint64_t used = 0;  // for dropping the least recently used
  };
  // The statement for head and shape (one byte per value: 'R' for a CAST
  // to REAL, '?' for a plain parameter), prepared on first use.
  sqlite3_stmt* Prepared(const char* head, size_t head_size, const std::string& shape);

  sqlite3* db_;
  std::vector<Entry> entries_;
  uint64_t uses_ = 0;
  std::string key_;    // scratch for the lookup
  std::string shape_;  // scratch for the row's shape
};

}  // namespace kestal::db::sqlite
