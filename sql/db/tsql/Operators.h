// Rewritten text kept as pieces until it is joined, so that binary + and -
// can become a dialect's functions with T-SQL's precedence (unary signs and
// ~ bind first, then * / %, then + and -, left to right). Internal to
// sql/db/tsql.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "sql/db/tsql/Dialect.h"

namespace kestal::db::tsql {

// What a piece of rewritten text is, for the one place that needs to know:
// wrapping binary + and - into the dialect's functions.
enum class PieceKind {
  kBlank,    // blanks, comments
  kOperand,  // literal, number, group, complete expression
  kName,     // a name; a group right after it makes it a call
  kKeyword,  // a reserved word: no operand
  kSign,     // + or -, binary or unary
  kMul,      // * / %
  kUnary,    // ~
  kOther,    // comparison, comma, and everything else
};

// True for a reserved word that ends an operand (lower case).
bool IsKeyword(const std::string& lw);
// The kind of a punctuation token.
PieceKind PunctKind(const std::string& p);

// Terms one chain of binary + and - may have: beyond it the engines' own
// limits on expression depth would refuse the statement less clearly.
constexpr size_t kMaxChainTerms = 1000;

// The rewritten text of one scope.
class Pieces {
 public:
  // wrap: binary + and - become the dialect's functions from the first
  // piece on (queries and data statements); otherwise they stay as written
  // until StartWrapping is called.
  Pieces(const Dialect& d, bool wrap) : d_(d), wrap_from_(wrap ? 0 : kNoWrap) {}

  // From the next piece on, + and - are wrapped (the query of a DDL
  // statement such as CREATE VIEW ... AS SELECT).
  void StartWrapping() {
    if (wrap_from_ == kNoWrap) wrap_from_ = p_.size();
  }
  // True when a piece added now would take part in wrapping.
  bool wrapping() const { return wrap_from_ != kNoWrap; }

  void Add(PieceKind kind, std::string text) { p_.push_back({kind, std::move(text)}); }
  // A parenthesised group: right after a name it completes a call.
  void AddGroup(std::string text);
  // The text, with binary + and - wrapped when the dialect asks for it.
  std::string Join();

 private:
  static constexpr size_t kNoWrap = static_cast<size_t>(-1);

  struct Piece {
    PieceKind kind;
    std::string text;
    size_t chain = kNoWrap;  // WrapSigns: the open chain this piece stands for
  };
  // A chain of binary + and - being wrapped: its first operand and each
  // function with its right operand, in order.
  struct Chain {
    std::string first;
    std::vector<std::pair<const char*, std::string>> rest;
  };

  bool IsOperand(size_t i) const;
  size_t PrevSolid(size_t i) const;
  size_t NextSolid(size_t i) const;
  bool IsUnaryAt(size_t i) const;
  std::string Text(size_t from, size_t to) const;
  size_t OperandStart(size_t end) const;
  static size_t NextSolidIn(const std::vector<Piece>& list, size_t i);
  static size_t OperandEndIn(const std::vector<Piece>& list, size_t begin);
  void WrapSigns();
  void Render(Piece* piece, std::vector<Chain>* chains) const;
  [[noreturn]] static void TooLong();

  const Dialect& d_;
  size_t wrap_from_;  // first piece that may be wrapped, or kNoWrap
  std::vector<Piece> p_;
};

}  // namespace kestal::db::tsql
