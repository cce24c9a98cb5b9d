// Rewrites by statement shape (RewriteCache.h). What must hold: a lookup
// gives exactly what Rewrite gives for the same text and schema, or raises
// what it raises; the cache never holds more than its capacity of shapes.
#include "sql/db/tsql/RewriteCache.h"

#include <strings.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "sql/db/tsql/Lexer.h"

namespace kestal::db::tsql {
namespace {

// Slots per shape at most; numbers after these stay part of the shape.
constexpr size_t kMaxSlots = 32;
// Longer statements are rewritten in full each time: the cache's memory is
// bounded by its capacity times this.
constexpr size_t kMaxShapeText = 8192;
// Probe numbers are kProbeBase + slot: nine digits, typed int like any slot.
constexpr long long kProbeBase = 987650001;
constexpr const char* kProbeStem = "98765";

// The slots of a statement and its shape key.
struct Shape {
  std::string key;
  std::vector<size_t> slots;  // token indexes of the slot numbers
};

bool IsComparisonToken(const Token& t) {
  if (t.kind != TokenKind::kPunct) return false;
  for (const char* op : {"=", "<>", "!=", "<", ">", "<=", ">=", "!<", "!>"}) {
    if (t.text == op) return true;
  }
  return false;
}

// A whole number T-SQL types int whatever its value: 1 to 9 digits, no
// leading zero (its text is then the integer's own decimal text).
bool IsSlotNumber(const Token& t) {
  const std::string& n = t.text;
  if (t.kind != TokenKind::kNumber || n.empty() || n.size() > 9 || n[0] == '0') return false;
  return n.find_first_not_of("0123456789") == std::string::npos;
}

// Words that end the WHERE clause at depth 0: past them a number may be a
// column position or feed a result column's name.
bool EndsWhere(const Token& t) {
  for (const char* w : {"group", "having", "order", "union", "except", "intersect", "for", "option",
                        "into", "compute"}) {
    if (IsWord(t, w)) return true;
  }
  return false;
}

// True for a SELECT by its first word, read without the lexer: other
// statements (the inserts of a record batch above all) never pay for a shape.
bool StartsWithSelect(const std::string& text) {
  size_t i = 0;
  while (i < text.size() &&
         (text[i] == ' ' || text[i] == '\t' || text[i] == '\r' || text[i] == '\n')) {
    ++i;
  }
  if (text.size() - i < 7 || strncasecmp(text.c_str() + i, "select", 6) != 0) return false;
  const char c = text[i + 6];
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '*' || c == '(';
}

// Finds the slots of tokens: plain numbers straight after a comparison, at
// depth 0 of the WHERE clause of the outermost SELECT. Column names come
// from the select list (and from parenthesised expressions, whose text an
// engine may take as a name), so nothing there or in brackets is a slot.
Shape ShapeOf(const std::vector<Token>& tokens) {
  Shape shape;
  int depth = 0;
  bool in_where = false;
  size_t prev = static_cast<size_t>(-1);  // the last token that is not blank
  for (size_t i = 0; i < tokens.size(); ++i) {
    const Token& t = tokens[i];
    if (IsBlank(t)) {
      shape.key += ' ';
      shape.key += t.text;
      continue;
    }
    if (IsPunct(t, "(")) ++depth;
    if (IsPunct(t, ")")) --depth;
    if (depth == 0 && t.kind == TokenKind::kWord) {
      if (IsWord(t, "where")) in_where = true;
      if (EndsWhere(t)) in_where = false;
    }
    const bool slot = in_where && depth == 0 && shape.slots.size() < kMaxSlots &&
                      prev != static_cast<size_t>(-1) && IsComparisonToken(tokens[prev]) &&
                      IsSlotNumber(t);
    if (slot) {
      shape.slots.push_back(i);
      shape.key += '\x01';
    } else {
      // Kind, length and text: a string 'a' and a name [a] give other
      // keys, and no two token sequences run together into one key.
      shape.key += static_cast<char>('A' + static_cast<int>(t.kind));
      shape.key += std::to_string(t.text.size());
      shape.key += ':';
      shape.key += t.text;
    }
    prev = i;
  }
  return shape;
}

// The text again with the slot numbers replaced by numbers[k].
std::string WithNumbers(const std::vector<Token>& tokens, const std::vector<size_t>& slots,
                        const std::vector<std::string>& numbers) {
  std::string out;
  size_t next = 0;
  for (size_t i = 0; i < tokens.size(); ++i) {
    if (next < slots.size() && slots[next] == i) {
      out += numbers[next++];
    } else {
      out += tokens[i].text;
    }
  }
  return out;
}

// True when c may stand next to a number that is a token of its own in
// engine SQL (not part of a name, a longer number, a string or a parameter).
bool Separates(char c) {
  return !((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' ||
           c == '.' || c == '$' || c == '@' || c == '#' || c == '\'' || c == '"' || c == '`' ||
           c == '[' || c == ']' || c == '?' || c == ':' || static_cast<unsigned char>(c) >= 0x80);
}

// Learns the template of a shape from the probe's output: each probe number
// found exactly once, standing alone. False when it is not so.
bool LearnTemplate(const std::string& probe_sql, const std::vector<std::string>& probes,
                   std::vector<std::string>* pieces, std::vector<size_t>* order) {
  std::vector<std::pair<size_t, size_t>> found;  // (offset, slot)
  for (size_t k = 0; k < probes.size(); ++k) {
    const std::string& p = probes[k];
    size_t at = probe_sql.find(p);
    if (at == std::string::npos) return false;
    if (probe_sql.find(p, at + 1) != std::string::npos) return false;
    const size_t end = at + p.size();
    if ((at > 0 && !Separates(probe_sql[at - 1])) ||
        (end < probe_sql.size() && !Separates(probe_sql[end]))) {
      return false;
    }
    found.emplace_back(at, k);
  }
  std::sort(found.begin(), found.end());
  size_t from = 0;
  for (const auto& [at, k] : found) {
    pieces->push_back(probe_sql.substr(from, at - from));
    order->push_back(k);
    from = at + probes[k].size();
  }
  pieces->push_back(probe_sql.substr(from));
  return true;
}

// The output of a template with slot k written as numbers[k], or with
// ?k+1 when numbers is null.
std::string Fill(const std::vector<std::string>& pieces, const std::vector<size_t>& order,
                 const std::vector<std::string>* numbers) {
  std::string out = pieces[0];
  for (size_t g = 0; g < order.size(); ++g) {
    if (numbers) {
      out += (*numbers)[order[g]];
    } else {
      out += '?';
      out += std::to_string(order[g] + 1);
    }
    out += pieces[g + 1];
  }
  return out;
}

}  // namespace

ShapedStatement RewriteCache::Rewrite(const std::string& text, const Dialect& dialect,
                                      Schema* schema,
                                      const std::function<long long()>& generation) {
  ShapedStatement out;
  if (text.size() > kMaxShapeText || !StartsWithSelect(text) ||
      text.find(kProbeStem) != std::string::npos) {
    out.statement = tsql::Rewrite(text, dialect, schema);
    return out;
  }
  const long long now = generation();
  if (!have_generation_ || now != generation_) {
    Clear();
    generation_ = now;
    have_generation_ = true;
  }
  // Lex raises for unclosed quotes and comments as Rewrite would.
  const std::vector<Token> tokens = Lex(text);
  const Shape shape = ShapeOf(tokens);
  if (shape.slots.empty()) {
    out.statement = tsql::Rewrite(text, dialect, schema);
    return out;
  }
  std::vector<std::string> numbers;
  numbers.reserve(shape.slots.size());
  for (size_t i : shape.slots) numbers.push_back(tokens[i].text);

  if (Entry* known = Find(shape.key)) {
    if (!known->usable) {
      out.statement = tsql::Rewrite(text, dialect, schema);
      return out;
    }
    ++hits_;
    out.statement.kind = StatementKind::kSql;
    out.statement.sql = Fill(known->pieces, known->order, &numbers);
    out.statement.locked_tables = known->locked_tables;
    out.shape_sql = Fill(known->pieces, known->order, nullptr);
    for (const std::string& n : numbers) out.values.push_back(std::atoll(n.c_str()));
    return out;
  }

  out.statement = tsql::Rewrite(text, dialect, schema);
  Entry& entry = Insert(shape.key);
  if (out.statement.kind != StatementKind::kSql) return out;
  std::vector<std::string> probes;
  for (size_t k = 0; k < shape.slots.size(); ++k) probes.push_back(std::to_string(kProbeBase + k));
  Statement probe;
  try {
    probe = tsql::Rewrite(WithNumbers(tokens, shape.slots, probes), dialect, schema);
  } catch (...) {
    // The probe numbers change what the rewrite does: not a shape to keep.
    return out;
  }
  std::vector<std::string> pieces;
  std::vector<size_t> order;
  if (probe.kind != StatementKind::kSql || probe.locked_tables != out.statement.locked_tables ||
      !LearnTemplate(probe.sql, probes, &pieces, &order) ||
      Fill(pieces, order, &numbers) != out.statement.sql) {
    return out;
  }
  entry.usable = true;
  entry.pieces = std::move(pieces);
  entry.order = std::move(order);
  entry.locked_tables = out.statement.locked_tables;
  out.shape_sql = Fill(entry.pieces, entry.order, nullptr);
  for (const std::string& n : numbers) out.values.push_back(std::atoll(n.c_str()));
  return out;
}

void RewriteCache::Clear() {
  entries_.clear();
  ages_.clear();
}

RewriteCache::Entry* RewriteCache::Find(const std::string& key) {
  auto it = entries_.find(key);
  if (it == entries_.end()) return nullptr;
  ages_.splice(ages_.begin(), ages_, it->second.age);
  return &it->second;
}

RewriteCache::Entry& RewriteCache::Insert(const std::string& key) {
  while (entries_.size() >= capacity_) {
    entries_.erase(ages_.back());
    ages_.pop_back();
  }
  ages_.push_front(key);
  Entry& entry = entries_[key];
  entry = Entry();
  entry.age = ages_.begin();
  return entry;
}

}  // namespace kestal::db::tsql
