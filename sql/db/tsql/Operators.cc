#include "sql/db/tsql/Operators.h"

#include <iterator>
#include <string_view>

#include "sql/db/ComError.h"

namespace kestal::db::tsql {
namespace {

constexpr size_t kNone = static_cast<size_t>(-1);

}  // namespace

bool IsKeyword(const std::string& lw) {
  // A list sufficient for the operators around them; other words are names.
  // Every word of every statement is looked up here: string_view compares
  // the lengths first, so most words never reach a byte comparison.
  static constexpr std::string_view kWords[] = {
      "select",    "from",   "where",   "and",      "or",     "not",   "in",     "is",     "like",
      "between",   "case",   "when",    "then",     "else",   "end",   "as",     "on",     "join",
      "inner",     "left",   "right",   "outer",    "full",   "cross", "group",  "order",  "by",
      "having",    "union",  "all",     "distinct", "insert", "into",  "values", "update", "set",
      "delete",    "exists", "escape",  "asc",      "desc",   "with",  "some",   "any",    "except",
      "intersect", "top",    "collate", "default"};
  const std::string_view word(lw);
  for (const std::string_view w : kWords) {
    if (word == w) return true;
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

// Replaces each binary + and -, left to right, and its operands by one call
// of the dialect's function. One pass: the pieces move to a new list, and a
// chain a + b - c ... stays one open piece that grows by an operand per sign
// and is written out once at the end, so that the cost is linear in the
// length of the chain.
void Pieces::WrapSigns() {
  std::vector<Piece> in;
  in.swap(p_);
  p_.assign(std::make_move_iterator(in.begin()),
            std::make_move_iterator(in.begin() + static_cast<long>(wrap_from_)));
  std::vector<Chain> chains;
  size_t i = wrap_from_;
  while (i < in.size()) {
    Piece& piece = in[i];
    // A sign is binary when an operand stands before it in the new list:
    // the list holds everything before i with the chains built so far.
    const bool binary = piece.kind == PieceKind::kSign && IsOperand(PrevSolid(p_.size()));
    size_t right_end = kNone;
    if (binary) right_end = OperandEndIn(in, NextSolidIn(in, i));
    if (right_end == kNone) {  // not a binary sign, or left to the engine to judge
      p_.push_back(std::move(piece));
      ++i;
      continue;
    }
    const char* fn = piece.text == "+" ? d_.add_function : d_.subtract_function;
    const size_t right_begin = NextSolidIn(in, i);
    std::string right;
    for (size_t k = right_begin; k <= right_end; ++k) right += in[k].text;
    const size_t left_end = PrevSolid(p_.size());
    const size_t left_begin = OperandStart(left_end);
    if (left_begin == left_end && p_[left_end].chain != kNoWrap) {
      // The chain grows: the blanks between it and the sign are dropped.
      p_.resize(left_end + 1);
    } else {
      Chain chain;
      for (size_t k = left_begin; k <= left_end; ++k) Render(&p_[k], &chains);
      chain.first = Text(left_begin, left_end + 1);
      p_.resize(left_begin);
      p_.push_back({PieceKind::kOperand, std::string(), chains.size()});
      chains.push_back(std::move(chain));
    }
    Chain& chain = chains[p_.back().chain];
    if (chain.rest.size() + 2 > kMaxChainTerms) TooLong();
    chain.rest.emplace_back(fn, std::move(right));
    i = right_end + 1;
  }
  for (Piece& piece : p_) Render(&piece, &chains);
}

// Writes an open chain out as nested calls: fn_n(...fn_1(first, r_1)..., r_n),
// or, for a dialect with a chain function and two signs or more, as flat
// calls of it taking up to chain_terms terms each.
void Pieces::Render(Piece* piece, std::vector<Chain>* chains) const {
  if (piece->chain == kNoWrap) return;
  Chain& chain = (*chains)[piece->chain];
  std::string text;
  if (d_.chain_function && d_.chain_terms > 1 && chain.rest.size() >= 2) {
    const size_t per_call = static_cast<size_t>(d_.chain_terms) - 1;  // signs per call
    const size_t calls = (chain.rest.size() + per_call - 1) / per_call;
    for (size_t k = 0; k < calls; ++k) {
      text += d_.chain_function;
      text += '(';
    }
    text += chain.first;
    for (size_t k = 0; k < chain.rest.size(); ++k) {
      text += chain.rest[k].first == d_.add_function ? ", '+', " : ", '-', ";
      text += chain.rest[k].second;
      if ((k + 1) % per_call == 0 || k + 1 == chain.rest.size()) text += ')';
    }
    piece->text = std::move(text);
    piece->chain = kNoWrap;
    chain = Chain();
    return;
  }
  for (size_t k = chain.rest.size(); k-- > 0;) {
    text += chain.rest[k].first;
    text += '(';
  }
  text += chain.first;
  for (const auto& term : chain.rest) {
    text += ", ";
    text += term.second;
    text += ')';
  }
  piece->text = std::move(text);
  piece->chain = kNoWrap;
  chain = Chain();
}

// The first non-blank piece of list after i, or its end.
size_t Pieces::NextSolidIn(const std::vector<Piece>& list, size_t i) {
  ++i;
  while (i < list.size() && list[i].kind == PieceKind::kBlank) ++i;
  return i;
}

// OperandEnd over another list of pieces (the ones not yet moved).
size_t Pieces::OperandEndIn(const std::vector<Piece>& list, size_t begin) {
  auto is_operand = [&](size_t k) {
    return k < list.size() &&
           (list[k].kind == PieceKind::kOperand || list[k].kind == PieceKind::kName);
  };
  auto is_sign = [&](size_t k) {
    return k < list.size() &&
           (list[k].kind == PieceKind::kUnary || list[k].kind == PieceKind::kSign);
  };
  size_t i = begin;
  while (is_sign(i)) i = NextSolidIn(list, i);
  if (!is_operand(i)) return kNone;
  size_t end = i;
  while (true) {
    const size_t q = NextSolidIn(list, end);
    if (q >= list.size() || list[q].kind != PieceKind::kMul) return end;
    size_t r = NextSolidIn(list, q);
    while (is_sign(r)) r = NextSolidIn(list, r);
    if (!is_operand(r)) return end;
    end = r;
  }
}

[[noreturn]] void Pieces::TooLong() {
  throw _com_error(kNotSupported,
                   CString("T-SQL construct not supported: an expression with more than " +
                           std::to_string(kMaxChainTerms) +
                           " terms joined by '+' or '-' (the rewriter's limit)"));
}

}  // namespace kestal::db::tsql
