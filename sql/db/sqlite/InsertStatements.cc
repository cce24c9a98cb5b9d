// Prepared single-row inserts, bound from the literals of a plain-insert
// batch (InsertStatements.h).
#include "sql/db/sqlite/InsertStatements.h"

#include <algorithm>
#include <string>

#include "sql/db/sqlite/Errors.h"

namespace kestal::db::sqlite {
namespace {

// Prepared statements kept at most: a session inserts into few tables.
constexpr size_t kMaxStatements = 8;

// The shape byte of one literal.
char ShapeOf(const tsql::Literal& v) {
  return v.kind == tsql::LiteralKind::kDecimal ? 'R' : '?';
}

// Binds literal v of batch to parameter index of st; false with SQLite's
// code in *rc when the binding fails.
bool Bind(sqlite3_stmt* st, int index, const tsql::InsertBatch& batch, const tsql::Literal& v,
          int* rc) {
  const char* text = batch.batch().data() + v.at;
  switch (v.kind) {
    case tsql::LiteralKind::kNull:
      *rc = sqlite3_bind_null(st, index);
      break;
    case tsql::LiteralKind::kInteger:
      *rc = sqlite3_bind_int64(st, index, v.integer);
      break;
    case tsql::LiteralKind::kDecimal:
      // The batch outlives the step; the binding is cleared after the run.
      *rc = sqlite3_bind_text(st, index, text, static_cast<int>(v.size), SQLITE_STATIC);
      break;
    case tsql::LiteralKind::kText:
      if (v.quoted) {
        const std::string unquoted = batch.Unquoted(v);
        *rc = sqlite3_bind_text(st, index, unquoted.data(), static_cast<int>(unquoted.size()),
                                SQLITE_TRANSIENT);
      } else {
        *rc = sqlite3_bind_text(st, index, text, static_cast<int>(v.size), SQLITE_STATIC);
      }
      break;
  }
  return *rc == SQLITE_OK;
}

}  // namespace

InsertStatements::~InsertStatements() {
  for (Entry& e : entries_) sqlite3_finalize(e.st);
}

sqlite3_stmt* InsertStatements::Prepared(const char* head, size_t head_size,
                                         const std::string& shape) {
  key_.assign(head, head_size);
  key_ += '\0';
  key_ += shape;
  for (Entry& e : entries_) {
    if (e.key == key_) {
      e.used = ++uses_;
      return e.st;
    }
  }
  std::string sql(head, head_size);
  sql += " (";
  for (size_t k = 0; k < shape.size(); ++k) {
    if (k > 0) sql += ", ";
    const std::string mark = "?" + std::to_string(k + 1);
    sql += shape[k] == 'R' ? "CAST(" + mark + " AS REAL)" : mark;
  }
  sql += ")";
  sqlite3_stmt* st = nullptr;
  const int rc = sqlite3_prepare_v3(db_, sql.c_str(), static_cast<int>(sql.size() + 1),
                                    SQLITE_PREPARE_PERSISTENT, &st, nullptr);
  if (rc != SQLITE_OK) {
    sqlite3_finalize(st);
    Raise(db_, rc);
  }
  if (entries_.size() == kMaxStatements) {
    auto oldest = std::min_element(entries_.begin(), entries_.end(),
                                   [](const Entry& a, const Entry& b) { return a.used < b.used; });
    sqlite3_finalize(oldest->st);
    entries_.erase(oldest);
  }
  entries_.push_back(Entry{key_, st, ++uses_});
  return st;
}

void InsertStatements::Insert(const tsql::InsertBatch& batch, size_t first, size_t count) {
  // Bindings into the batch are dropped whatever happens: a kept statement
  // must not point into a batch that is gone.
  struct ClearOnExit {
    std::vector<Entry>* entries;
    ~ClearOnExit() {
      for (Entry& e : *entries) sqlite3_clear_bindings(e.st);
    }
  } clear{&entries_};
  const std::vector<tsql::PlainStatement>& statements = batch.statements();
  const std::vector<tsql::Literal>& values = batch.values();
  const char* text = batch.batch().data();
  sqlite3_stmt* st = nullptr;
  const tsql::PlainStatement* last = nullptr;  // the statement st was picked for
  for (size_t i = first; i < first + count; ++i) {
    const tsql::PlainStatement& row = statements[i];
    shape_.clear();
    for (size_t k = 0; k < row.value_count; ++k) shape_ += ShapeOf(values[row.first_value + k]);
    // Rows of one head and shape (all of them, in a record batch) keep the
    // statement without a lookup.
    const bool same = last != nullptr && last->value_count == row.value_count &&
                      last->head_size == row.head_size &&
                      batch.SameHead(static_cast<size_t>(last - statements.data()), i) &&
                      key_.compare(key_.size() - shape_.size(), shape_.size(), shape_) == 0;
    if (!same) st = Prepared(text + row.head_at, row.head_size, shape_);
    last = &row;
    int rc = SQLITE_OK;
    for (size_t k = 0; k < row.value_count; ++k) {
      if (!Bind(st, static_cast<int>(k + 1), batch, values[row.first_value + k], &rc)) {
        Raise(db_, rc);
      }
    }
    rc = sqlite3_step(st);
    if (rc != SQLITE_DONE) {
      // The message is read before the reset, which may replace it.
      struct ResetOnExit {
        sqlite3_stmt* st;
        ~ResetOnExit() { sqlite3_reset(st); }
      } reset{st};
      Raise(db_, rc);
    }
    sqlite3_reset(st);
  }
}

}  // namespace kestal::db::sqlite
