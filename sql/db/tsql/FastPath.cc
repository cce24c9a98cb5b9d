#include "sql/db/tsql/FastPath.h"

#include <strings.h>

#include <cstring>

#include "sql/db/tsql/PlainText.h"

namespace kestal::db::tsql {
namespace {

using plain::ContinuesWord;
using plain::IsNameByte;
using plain::IsNameStart;

bool IsBlankByte(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

// A left-to-right reader over one statement; every step returns false
// (leaving the position undefined) when the text is not of the plain shape.
class Scan {
 public:
  explicit Scan(const std::string& s) : s_(s.data()), n_(s.size()) {}

  void Blanks() {
    while (i_ < n_ && IsBlankByte(s_[i_])) ++i_;
  }
  bool AtEnd() const { return i_ == n_; }
  bool Punct(char c) {
    if (i_ < n_ && s_[i_] == c) {
      ++i_;
      return true;
    }
    return false;
  }
  // The keyword (lower case) as a whole word, in any case.
  bool Keyword(const char* lower) {
    const size_t len = std::strlen(lower);
    if (n_ - i_ < len || strncasecmp(s_ + i_, lower, len) != 0) return false;
    if (i_ + len < n_ && ContinuesWord(s_[i_ + len])) return false;
    i_ += len;
    return true;
  }
  // A plain name that is no special word.
  bool Name() {
    if (i_ >= n_ || !IsNameStart(s_[i_])) return false;
    const size_t b = i_;
    while (i_ < n_ && IsNameByte(s_[i_])) ++i_;
    if (i_ < n_ && ContinuesWord(s_[i_])) return false;
    const size_t len = i_ - b;
    return !plain::IsSpecialName(s_ + b, len);
  }
  size_t position() const { return i_; }
  // The plain name at the position, as Name reads it, or "" when none.
  std::string NameText() {
    const size_t b = i_;
    return Name() ? std::string(s_ + b, i_ - b) : std::string();
  }
  // A number, optionally signed: 12, -3, 1.5, .5, 2. (no exponent, no hex).
  bool Number() {
    if (i_ < n_ && (s_[i_] == '-' || s_[i_] == '+')) {
      ++i_;
      Blanks();
    }
    const size_t b = i_;
    while (i_ < n_ && plain::IsDigit(s_[i_])) ++i_;
    const bool int_part = i_ > b;
    if (i_ < n_ && s_[i_] == '.') {
      ++i_;
      const size_t f = i_;
      while (i_ < n_ && plain::IsDigit(s_[i_])) ++i_;
      if (!int_part && i_ == f) return false;
    } else if (!int_part) {
      return false;
    }
    // 1e5, 0x1F, 12abc: a longer token than this reader knows.
    return !(i_ < n_ && (ContinuesWord(s_[i_]) || s_[i_] == '.'));
  }
  // A '...' literal with '' for a quotation mark inside.
  bool String() {
    if (!Punct('\'')) return false;
    while (i_ < n_) {
      if (s_[i_++] != '\'') continue;
      if (i_ < n_ && s_[i_] == '\'') {
        ++i_;
        continue;
      }
      return true;
    }
    return false;  // unclosed: the general path reports it
  }
  bool Value() {
    if (i_ >= n_) return false;
    if (s_[i_] == '\'') return String();
    if (s_[i_] == 'n' || s_[i_] == 'N') return Keyword("null");
    return Number();
  }
  // ( item , item ... ) with item read by read.
  template <class Read>
  bool List(Read read) {
    Blanks();
    if (!Punct('(')) return false;
    do {
      Blanks();
      if (!read()) return false;
      Blanks();
    } while (Punct(','));
    return Punct(')');
  }

 private:
  const char* s_;
  size_t n_;
  size_t i_ = 0;
};

}  // namespace

bool IsPlainInsert(const std::string& statement) {
  size_t rows_at = 0;
  long long rows = 0;
  return PlainInsertRows(statement, &rows_at, &rows);
}

bool PlainInsertRows(const std::string& statement, size_t* rows_at, long long* rows) {
  Scan s(statement);
  s.Blanks();
  if (!s.Keyword("insert")) return false;
  s.Blanks();
  if (!s.Keyword("into")) return false;
  s.Blanks();
  if (!s.Name()) return false;
  s.Blanks();
  if (!s.Keyword("values")) {
    if (!s.List([&] { return s.Name(); })) return false;
    s.Blanks();
    if (!s.Keyword("values")) return false;
  }
  const size_t at = s.position();
  long long lists = 0;
  do {
    if (!s.List([&] { return s.Value(); })) return false;
    ++lists;
    s.Blanks();
  } while (s.Punct(','));
  if (!s.AtEnd()) return false;
  *rows_at = at;
  *rows = lists;
  return true;
}

std::string PlainInsertTable(const std::string& statement) {
  Scan scan(statement);
  scan.Blanks();
  scan.Keyword("insert");
  scan.Blanks();
  scan.Keyword("into");
  scan.Blanks();
  return scan.NameText();
}

}  // namespace kestal::db::tsql
