// Joining plain inserts of one head into one multi-row INSERT (InsertRun.h).
#include "sql/db/tsql/InsertRun.h"

#include "sql/db/tsql/FastPath.h"

namespace kestal::db::tsql {
namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

// text[b, e) without the blanks at either end.
std::string Trimmed(const std::string& text, size_t b, size_t e) {
  while (b < e && IsBlank(text[b])) ++b;
  while (e > b && IsBlank(text[e - 1])) --e;
  return text.substr(b, e - b);
}

}  // namespace

bool InsertRun::Add(const std::string& statement) {
  size_t rows_at = 0;
  long long rows = 0;
  if (!PlainInsertRows(statement, &rows_at, &rows)) return false;
  std::string head = Trimmed(statement, 0, rows_at);
  if (!statements_.empty() && head != head_) return false;
  if (statements_.empty()) {
    head_ = std::move(head);
  } else {
    rows_ += ", ";
  }
  rows_ += Trimmed(statement, rows_at, statement.size());
  statements_.push_back(statement);
  last_rows_ = rows;
  total_rows_ += rows;
  return true;
}

long long LastStatementChanged(long long joined_changed, long long last_rows,
                               long long total_rows) {
  if (joined_changed == total_rows) return last_rows;
  return joined_changed == 0 ? 0 : -1;
}

void InsertRun::Clear() {
  statements_.clear();
  head_.clear();
  rows_.clear();
  last_rows_ = 0;
  total_rows_ = 0;
}

}  // namespace kestal::db::tsql
