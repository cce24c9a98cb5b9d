// Reading a batch of single-row plain inserts in one pass (InsertBatch.h).
// Every step refuses what it does not know; the reader never raises.
#include "sql/db/tsql/InsertBatch.h"

#include <strings.h>

#include <cstring>
#include <string_view>

#include "sql/db/tsql/PlainText.h"

namespace kestal::db::tsql {
namespace {

using plain::ContinuesWord;
using plain::IsDigit;
using plain::IsNameByte;
using plain::IsNameStart;

// A whole number of up to this many digits fits a 64-bit integer.
constexpr size_t kMaxWholeDigits = 18;

// Blanks that the lexer and FastPath both take as blanks.
bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// A reader over the batch from a position; each step returns false when the
// text there is not of the shape, leaving the position undefined.
class Reader {
 public:
  Reader(const std::string& s, size_t at) : s_(s.data()), n_(s.size()), i_(at) {}

  size_t at() const { return i_; }
  bool AtEnd() const { return i_ == n_; }
  char Peek() const { return i_ < n_ ? s_[i_] : '\0'; }
  void Blanks() {
    while (i_ < n_ && IsBlank(s_[i_])) ++i_;
  }
  bool Punct(char c) {
    if (i_ >= n_ || s_[i_] != c) return false;
    ++i_;
    return true;
  }
  // The keyword (lower case, len bytes) as a whole word, in any case.
  bool Keyword(const char* lower, size_t len) {
    if (n_ - i_ < len || strncasecmp(s_ + i_, lower, len) != 0) return false;
    if (i_ + len < n_ && ContinuesWord(s_[i_ + len])) return false;
    i_ += len;
    return true;
  }
  // A plain ASCII name that is none of the refused names.
  bool Name() {
    if (i_ >= n_ || !IsNameStart(s_[i_])) return false;
    const size_t b = i_;
    while (i_ < n_ && IsNameByte(s_[i_])) ++i_;
    if (i_ < n_ && ContinuesWord(s_[i_])) return false;
    const size_t len = i_ - b;
    // VALUES as a name would make the head ambiguous.
    if (len == 6 && strncasecmp(s_ + b, "values", 6) == 0) return false;
    return !plain::IsSpecialName(s_ + b, len);
  }
  // ( name, ... )
  bool Names() {
    if (!Punct('(')) return false;
    do {
      Blanks();
      if (!Name()) return false;
      Blanks();
    } while (Punct(','));
    return Punct(')');
  }
  // One literal into *v.
  bool Value(Literal* v) {
    if (i_ >= n_) return false;
    const char c = s_[i_];
    if (c == '\'') return String(v);
    if (c == 'n' || c == 'N') {
      v->kind = LiteralKind::kNull;
      return Keyword("null", 4);
    }
    return Number(v);
  }

 private:
  bool String(Literal* v) {
    v->kind = LiteralKind::kText;
    v->quoted = false;
    size_t i = i_ + 1;
    while (true) {
      const void* q = memchr(s_ + i, '\'', n_ - i);
      if (q == nullptr) return false;  // unclosed: the general path reports it
      const size_t at = static_cast<size_t>(static_cast<const char*>(q) - s_);
      if (at + 1 < n_ && s_[at + 1] == '\'') {
        v->quoted = true;
        i = at + 2;
        continue;
      }
      v->at = i_ + 1;
      v->size = at - v->at;
      if (memchr(s_ + v->at, '\0', v->size) != nullptr) return false;
      i_ = at + 1;
      return true;
    }
  }
  // [sign] digits [. digits] or [sign] . digits, the sign next to the number.
  bool Number(Literal* v) {
    const size_t b = i_;
    bool negative = false;
    if (s_[i_] == '-' || s_[i_] == '+') {
      negative = s_[i_] == '-';
      ++i_;
    }
    const size_t digits_at = i_;
    long long whole = 0;
    while (i_ < n_ && IsDigit(s_[i_])) {
      if (i_ - digits_at < kMaxWholeDigits) whole = whole * 10 + (s_[i_] - '0');
      ++i_;
    }
    const size_t digits = i_ - digits_at;
    bool point = false;
    if (i_ < n_ && s_[i_] == '.') {
      point = true;
      ++i_;
      const size_t f = i_;
      while (i_ < n_ && IsDigit(s_[i_])) ++i_;
      if (digits == 0 && i_ == f) return false;
    } else if (digits == 0) {
      return false;
    }
    if (i_ < n_ && (ContinuesWord(s_[i_]) || s_[i_] == '.')) return false;
    v->at = b;
    v->size = i_ - b;
    if (point) {
      v->kind = LiteralKind::kDecimal;
      return true;
    }
    if (digits > kMaxWholeDigits) return false;
    v->kind = LiteralKind::kInteger;
    v->integer = negative ? -whole : whole;
    return true;
  }

  const char* s_;
  size_t n_;
  size_t i_;
};

}  // namespace

const std::string InsertBatch::empty_;

bool InsertBatch::Read(const std::string& batch) {
  statements_.clear();
  values_.clear();
  batch_ = &batch;
  const auto refuse = [this] {
    statements_.clear();
    values_.clear();
    batch_ = &empty_;
    return false;
  };
  size_t begin = 0;  // just after the last ';'
  Reader r(batch, 0);
  while (true) {
    r.Blanks();
    if (r.AtEnd()) break;
    if (r.Punct(';')) {  // an empty statement: SplitBatch drops it
      begin = r.at();
      continue;
    }
    PlainStatement st;
    st.text_at = begin;
    st.head_at = r.at();
    const PlainStatement* last = statements_.empty() ? nullptr : &statements_.back();
    if (last != nullptr &&
        batch.compare(st.head_at, last->head_size, batch, last->head_at, last->head_size) == 0 &&
        !(st.head_at + last->head_size < batch.size() &&
          ContinuesWord(batch[st.head_at + last->head_size]))) {
      // The head of the statement before, which was read in full.
      r = Reader(batch, st.head_at + last->head_size);
    } else {
      if (!r.Keyword("insert", 6)) return refuse();
      r.Blanks();
      if (!r.Keyword("into", 4)) return refuse();
      r.Blanks();
      if (!r.Name()) return refuse();
      r.Blanks();
      if (!r.Keyword("values", 6)) {
        if (!r.Names()) return refuse();
        r.Blanks();
        if (!r.Keyword("values", 6)) return refuse();
      }
    }
    st.head_size = r.at() - st.head_at;
    r.Blanks();
    if (!r.Punct('(')) return refuse();
    st.first_value = values_.size();
    do {
      r.Blanks();
      Literal v;
      if (!r.Value(&v)) return refuse();
      values_.push_back(v);
      r.Blanks();
    } while (r.Punct(','));
    if (!r.Punct(')')) return refuse();
    st.value_count = values_.size() - st.first_value;
    r.Blanks();
    const size_t end = r.at();
    if (!r.AtEnd() && !r.Punct(';')) return refuse();  // a second row or anything else
    st.text_size = end - begin;
    statements_.push_back(st);
    begin = r.at();
  }
  if (statements_.empty()) return refuse();
  return true;
}

std::string InsertBatch::Text(size_t i) const {
  const PlainStatement& st = statements_[i];
  return batch_->substr(st.text_at, st.text_size);
}

bool InsertBatch::SameHead(size_t i, size_t j) const {
  const PlainStatement& a = statements_[i];
  const PlainStatement& b = statements_[j];
  return a.head_size == b.head_size &&
         batch_->compare(a.head_at, a.head_size, *batch_, b.head_at, b.head_size) == 0;
}

std::string InsertBatch::Unquoted(const Literal& value) const {
  std::string out;
  out.reserve(value.size);
  const char* p = batch_->data() + value.at;
  const char* end = p + value.size;
  while (p < end) {
    out += *p;
    if (*p == '\'') ++p;  // the second of a doubled quotation mark
    ++p;
  }
  return out;
}

}  // namespace kestal::db::tsql
