#include "sql/db/tsql/Operators.h"

namespace kestal::db::tsql {
namespace {

constexpr size_t kNone = static_cast<size_t>(-1);

}  // namespace

bool IsKeyword(const std::string& lw) {
  // A list sufficient for the operators around them; other words are names.
  static const char* const kWords[] = {
      "select",    "from",   "where",   "and",      "or",     "not",   "in",     "is",     "like",
      "between",   "case",   "when",    "then",     "else",   "end",   "as",     "on",     "join",
      "inner",     "left",   "right",   "outer",    "full",   "cross", "group",  "order",  "by",
      "having",    "union",  "all",     "distinct", "insert", "into",  "values", "update", "set",
      "delete",    "exists", "escape",  "asc",      "desc",   "with",  "some",   "any",    "except",
      "intersect", "top",    "collate", "default"};
  for (const char* w : kWords) {
    if (lw == w) return true;
  }
  return false;
}

PieceKind PunctKind(const std::string& p) {
  if (p == "+" || p == "-") return PieceKind::kSign;
  if (p == "*" || p == "/" || p == "%") return PieceKind::kMul;
  if (p == "~") return PieceKind::kUnary;
  return PieceKind::kOther;
}

void Pieces::AddGroup(std::string text) {
  const size_t n = PrevSolid(p_.size());
  if (n != kNone && p_[n].kind == PieceKind::kName) {
    std::string call;
    for (size_t k = n; k < p_.size(); ++k) call += p_[k].text;
    p_.resize(n);
    Add(PieceKind::kOperand, call + text);
    return;
  }
  Add(PieceKind::kOperand, std::move(text));
}

std::string Pieces::Join() {
  if (d_.add_function && d_.subtract_function && wrap_from_ != kNoWrap) WrapSigns();
  return Text(0, p_.size());
}

// True when piece i exists and can be an operand.
bool Pieces::IsOperand(size_t i) const {
  return i != kNone && i < p_.size() &&
         (p_[i].kind == PieceKind::kOperand || p_[i].kind == PieceKind::kName);
}

// The last non-blank piece before i, or kNone.
size_t Pieces::PrevSolid(size_t i) const {
  while (i > 0) {
    --i;
    if (p_[i].kind != PieceKind::kBlank) return i;
  }
  return kNone;
}

// The first non-blank piece after i, or the end.
size_t Pieces::NextSolid(size_t i) const {
  ++i;
  while (i < p_.size() && p_[i].kind == PieceKind::kBlank) ++i;
  return i;
}

// True when piece i is a sign or ~ that applies to what follows it.
bool Pieces::IsUnaryAt(size_t i) const {
  if (p_[i].kind == PieceKind::kUnary) return true;
  return p_[i].kind == PieceKind::kSign && !IsOperand(PrevSolid(i));
}

// The text of pieces [from, to).
std::string Pieces::Text(size_t from, size_t to) const {
  std::string t;
  for (size_t k = from; k < to; ++k) t += p_[k].text;
  return t;
}

// The first piece of the operand that ends at piece end: unary signs and
// * / % chains bind tighter than + and -.
size_t Pieces::OperandStart(size_t end) const {
  size_t start = end;
  while (true) {
    const size_t q = PrevSolid(start);
    if (q == kNone) return start;
    if (IsUnaryAt(q)) {
      start = q;
    } else if (p_[q].kind == PieceKind::kMul && IsOperand(PrevSolid(q))) {
      start = PrevSolid(q);
    } else {
      return start;
    }
  }
}

// The last piece of the operand that starts at piece begin, or kNone when
// there is no operand there.
size_t Pieces::OperandEnd(size_t begin) const {
  size_t i = begin;
  while (i < p_.size() && (p_[i].kind == PieceKind::kUnary || p_[i].kind == PieceKind::kSign)) {
    i = NextSolid(i);
  }
  if (!IsOperand(i)) return kNone;
  size_t end = i;
  while (true) {
    const size_t q = NextSolid(end);
    if (q >= p_.size() || p_[q].kind != PieceKind::kMul) return end;
    size_t r = NextSolid(q);
    while (r < p_.size() && (p_[r].kind == PieceKind::kUnary || p_[r].kind == PieceKind::kSign)) {
      r = NextSolid(r);
    }
    if (!IsOperand(r)) return end;
    end = r;
  }
}

// Replaces each binary + and -, left to right, and its operands by one call
// of the dialect's function.
void Pieces::WrapSigns() {
  for (size_t i = wrap_from_; i < p_.size(); ++i) {
    if (p_[i].kind != PieceKind::kSign || IsUnaryAt(i)) continue;
    const size_t left_end = PrevSolid(i);
    const size_t right_begin = NextSolid(i);
    const size_t right_end = OperandEnd(right_begin);
    if (right_end == kNone) continue;  // left to the engine to judge
    const size_t left_begin = OperandStart(left_end);
    const std::string fn = p_[i].text == "+" ? d_.add_function : d_.subtract_function;
    std::string text =
        fn + "(" + Text(left_begin, left_end + 1) + ", " + Text(right_begin, right_end + 1) + ")";
    p_.erase(p_.begin() + static_cast<long>(left_begin) + 1,
             p_.begin() + static_cast<long>(right_end) + 1);
    p_[left_begin] = {PieceKind::kOperand, std::move(text)};
    i = left_begin;
  }
}

}  // namespace kestal::db::tsql
