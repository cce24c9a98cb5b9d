// The general statement rewrite: a recursive walk over the tokens, one
// parenthesised group at a time, so that TOP's LIMIT lands at the end of its
// own query and function arguments are rewritten before the function is.
#include "sql/db/tsql/Rewriter.h"

#include <strings.h>

#include <cstdlib>

#include "sql/db/ComError.h"
#include "sql/db/tsql/FastPath.h"
#include "sql/db/tsql/Lexer.h"
#include "sql/db/tsql/Operators.h"
#include "sql/db/tsql/StatementHandlers.h"

namespace kestal::db::tsql {
namespace {

constexpr size_t kNone = static_cast<size_t>(-1);
constexpr size_t kMaxNesting = 200;  // parentheses inside one another

// s with ASCII letters in lower case.
std::string Lower(const std::string& s) {
  std::string out = s;
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// Table hints that may follow a table name, in WITH (...) or alone in
// parentheses. The first group make the read hold its locks to the end of
// the statement, which an engine may have to give by other means.
const char* const kLockingHints[] = {"holdlock", "updlock",      "xlock",   "tablock",
                                     "tablockx", "serializable", "paglock", "repeatableread"};
const char* const kOtherHints[] = {
    "nolock", "rowlock",  "readpast",  "readuncommitted", "readcommitted", "readcommittedlock",
    "nowait", "noexpand", "forceseek", "forcescan"};

// True when lw is one of the n entries of list.
bool InList(const std::string& lw, const char* const* list, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (lw == list[i]) return true;
  }
  return false;
}

// True for a hint that holds locks to the end of the statement.
bool IsLockingHint(const std::string& lw) {
  return InList(lw, kLockingHints, sizeof kLockingHints / sizeof *kLockingHints);
}
// True for any table hint the rewriter removes.
bool IsHint(const std::string& lw) {
  return IsLockingHint(lw) || InList(lw, kOtherHints, sizeof kOtherHints / sizeof *kOtherHints);
}

// The canonical name of a T-SQL date part or abbreviation, or "" when
// unknown.
std::string CanonicalDatePart(const std::string& lw) {
  static const char* const kParts[][4] = {{"year", "yy", "yyyy", nullptr},
                                          {"quarter", "qq", "q", nullptr},
                                          {"month", "mm", "m", nullptr},
                                          {"dayofyear", "dy", "y", nullptr},
                                          {"day", "dd", "d", nullptr},
                                          {"week", "wk", "ww", nullptr},
                                          {"weekday", "dw", "w", nullptr},
                                          {"hour", "hh", nullptr, nullptr},
                                          {"minute", "mi", "n", nullptr},
                                          {"second", "ss", "s", nullptr},
                                          {"millisecond", "ms", nullptr, nullptr}};
  for (const auto& names : kParts) {
    for (const char* n : names) {
      if (n && lw == n) return names[0];
    }
  }
  return std::string();
}

class Rewriter {
 public:
  Rewriter(std::vector<Token> tokens, const Dialect& dialect, Schema* schema)
      : t_(std::move(tokens)), match_(t_.size(), kNone), d_(dialect), schema_(schema) {
    std::vector<size_t> open;
    for (size_t i = 0; i < t_.size(); ++i) {
      if (IsPunct(t_[i], "(")) {
        open.push_back(i);
        // The rewrite recurses once per level: bound it so that hostile
        // text cannot exhaust the stack.
        if (open.size() > kMaxNesting) SyntaxError("The statement is nested too deeply.");
      } else if (IsPunct(t_[i], ")")) {
        if (open.empty()) SyntaxError("Incorrect syntax near ')'.");
        match_[open.back()] = i;
        match_[i] = open.back();
        open.pop_back();
      }
    }
    if (!open.empty()) SyntaxError("Incorrect syntax: '(' without a matching ')'.");
    if (schema_) FindTables();
  }

  // The whole statement rewritten.
  std::string Statement() {
    // Literals are collated in queries and data statements only: in DDL a
    // COLLATE after a DEFAULT would become part of the column definition.
    // Binary + and - likewise: in DDL they stay the engine's own, so that
    // "default -1" stays a negative default and a CHECK keeps its meaning.
    const size_t first = Next(0, t_.size());
    const bool data_statement =
        first < t_.size() &&
        (IsWord(t_[first], "select") || IsWord(t_[first], "insert") ||
         IsWord(t_[first], "update") || IsWord(t_[first], "delete") || IsWord(t_[first], "with"));
    collate_literals_ = d_.literal_collation != nullptr && data_statement;
    wrapping_ = data_statement;
    return Range(0, t_.size(), true);
  }
  const std::vector<std::string>& locked_tables() const { return locked_; }

 private:
  // The first non-blank token at or after i and before e, or e.
  size_t Next(size_t i, size_t e) const {
    while (i < e && IsBlank(t_[i])) ++i;
    return i;
  }
  // The last non-blank token before i and at or after b, or kNone.
  size_t Prev(size_t i, size_t b) const {
    while (i > b) {
      --i;
      if (!IsBlank(t_[i])) return i;
    }
    return kNone;
  }
  // True when token i is a word or a quoted name.
  bool IsName(size_t i) const {
    return t_[i].kind == TokenKind::kWord || t_[i].kind == TokenKind::kQuotedName;
  }
  // True when token i (before e) opens a parenthesised group.
  bool IsGroup(size_t i, size_t e) const { return i < e && IsPunct(t_[i], "("); }

  // True when the group opening at g holds nothing but table hints.
  bool IsHintGroup(size_t g, bool* locking) const {
    bool any = false;
    *locking = false;
    for (size_t i = g + 1; i < match_[g]; ++i) {
      if (IsBlank(t_[i]) || IsPunct(t_[i], ",")) continue;
      if (t_[i].kind != TokenKind::kWord) return false;
      const std::string lw = Lower(t_[i].text);
      if (lw == "index") {
        // INDEX(name, ...) or INDEX = name: an access-path hint.
        const size_t n = Next(i + 1, match_[g]);
        if (IsGroup(n, match_[g])) {
          i = match_[n];
        } else if (n < match_[g] && IsPunct(t_[n], "=")) {
          const size_t v = Next(n + 1, match_[g]);
          if (v >= match_[g]) return false;
          i = v;
        } else {
          return false;
        }
        any = true;
        continue;
      }
      if (!IsHint(lw)) return false;
      if (IsLockingHint(lw)) *locking = true;
      any = true;
    }
    return any;
  }

  // Token i (a name) as the engine writes it.
  std::string EmitName(size_t i) const {
    if (t_[i].kind == TokenKind::kQuotedName) return d_.quote_identifier(t_[i].value);
    return t_[i].text;
  }

  // A dotted name starting at i: db..T, db.dbo.T and dbo.T become T (one
  // database, default schema); alias.col stays. Returns the index after it.
  size_t DottedName(size_t i, size_t e, std::string* out, std::string* last,
                    std::vector<size_t>* parts_out = nullptr) {
    std::vector<size_t> parts{i};  // kNone for an empty part (db..T)
    size_t j = i + 1;
    while (j < e && IsPunct(t_[j], ".")) {
      if (j + 1 < e && IsName(j + 1)) {
        parts.push_back(j + 1);
        j += 2;
      } else if (j + 1 < e && IsPunct(t_[j + 1], ".")) {
        parts.push_back(kNone);
        j += 1;
      } else if (j + 1 < e && IsPunct(t_[j + 1], "*")) {
        // alias.* in a select list.
        std::string text;
        for (size_t k = 0; k < parts.size(); ++k) {
          if (parts[k] == kNone) SyntaxError("Incorrect syntax near '.'.");
          text += EmitName(parts[k]) + ".";
        }
        *out += text + "*";
        *last = std::string();
        return j + 2;
      } else {
        SyntaxError("Incorrect syntax near '.'.");
      }
    }
    if (parts.back() == kNone) SyntaxError("Incorrect syntax near '.'.");
    auto is_dbo = [&](size_t p) {
      return p == kNone || (t_[p].kind == TokenKind::kWord && Lower(t_[p].text) == "dbo") ||
             (t_[p].kind == TokenKind::kQuotedName && Lower(t_[p].value) == "dbo");
    };
    size_t keep_from = 0;
    if (parts.size() == 2 && is_dbo(parts[0])) keep_from = 1;
    if (parts.size() == 3 && is_dbo(parts[1])) keep_from = 2;
    if (parts.size() >= 4) {
      NotSupported("the four-part name starting with " + t_[i].text);
    }
    for (size_t k = keep_from; k < parts.size(); ++k) {
      if (parts[k] == kNone) SyntaxError("Incorrect syntax near '.'.");
    }
    parts.erase(parts.begin(), parts.begin() + static_cast<long>(keep_from));
    std::string text;
    const std::vector<std::string> stored = StoredNames(parts, i, j, e);
    for (size_t k = 0; k < parts.size(); ++k) {
      if (k > 0) text += ".";
      text += stored[k].empty() ? EmitName(parts[k]) : d_.quote_stored_name(stored[k]);
    }
    *out += text;
    *last = NameText(parts.back());
    if (parts_out) *parts_out = std::move(parts);
    return j;
  }

  // The name token i holds, without quotes.
  std::string NameText(size_t i) const {
    return t_[i].kind == TokenKind::kQuotedName ? t_[i].value : t_[i].text;
  }

  // For an engine whose names mind case: the stored name of each part of
  // the dotted name parts (written from token i up to j), or "" to write it
  // as it stands. A table reference's name becomes its table's, a column's
  // its column's, a qualifier naming a table that table's.
  std::vector<std::string> StoredNames(const std::vector<size_t>& parts, size_t i, size_t j,
                                       size_t e) {
    std::vector<std::string> stored(parts.size());
    if (!schema_ || !d_.quote_stored_name) return stored;
    const size_t last = parts.back();
    if (ref_at_[last] != kNone) {
      if (const TableShape* shape = Shape(ref_at_[last])) stored.back() = shape->name;
      return stored;
    }
    if (!MayBeColumn(parts, i, j, e)) return stored;
    if (const ColumnShape* column = ResolveColumn(parts)) stored.back() = column->name;
    if (parts.size() >= 2) {
      const size_t r = RefNamed(NameText(parts[parts.size() - 2]));
      if (r != kNone && refs_[r].alias.empty()) {
        if (const TableShape* shape = Shape(r)) stored[parts.size() - 2] = shape->name;
      }
    }
    return stored;
  }

  // True when the dotted name parts (tokens i up to j) may name a column:
  // no keyword, no call, no alias being defined.
  bool MayBeColumn(const std::vector<size_t>& parts, size_t i, size_t j, size_t e) const {
    const size_t last = parts.back();
    if (t_[last].kind == TokenKind::kWord && IsKeyword(Lower(t_[last].text))) return false;
    if (IsGroup(Next(j, e), e)) return false;
    const size_t p = Prev(i, 0);
    return p == kNone || !IsWord(t_[p], "as");
  }

  // The tables the statement names (after FROM, JOIN, UPDATE, INTO, TABLE,
  // and a leading INSERT or DELETE), with their aliases, and the columns an
  // UPDATE's SET list assigns.
  void FindTables() {
    ref_at_.assign(t_.size(), kNone);
    assigned_.assign(t_.size(), false);
    const size_t end = t_.size();
    const size_t first = Next(0, end);
    const bool update = first < end && IsWord(t_[first], "update");
    for (size_t i = first; i < end; ++i) {
      if (t_[i].kind != TokenKind::kWord) continue;
      const std::string lw = Lower(t_[i].text);
      const size_t n = Next(i + 1, end);
      if (lw == "set" && update) {
        MarkAssignments(i);
        continue;
      }
      const bool head = i == first && (lw == "insert" || lw == "delete") && n < end &&
                        !IsWord(t_[n], "into") && !IsWord(t_[n], "from");
      if (!head && lw != "from" && lw != "join" && lw != "update" && lw != "into" &&
          lw != "table") {
        continue;
      }
      size_t j = n;
      while (j < end) {
        size_t after;
        if (IsName(j)) {
          if (t_[j].kind == TokenKind::kWord && IsKeyword(Lower(t_[j].text))) break;
          size_t last = j;
          size_t k = j + 1;
          while (k < end && IsPunct(t_[k], ".")) {
            if (k + 1 < end && IsName(k + 1)) {
              last = k + 1;
              k += 2;
            } else if (k + 1 < end && IsPunct(t_[k + 1], ".")) {
              k += 1;
            } else {
              break;
            }
          }
          TableRef ref;
          ref.written = NameText(last);
          after = Alias(Next(k, end), &ref.alias);
          // SQL Server's system tables, which each engine gives by its own
          // means: no catalog lookup for them.
          const std::string lw_table = Lower(ref.written);
          if (lw_table == "sysobjects" || lw_table == "syscolumns") ref.looked_up = true;
          ref_at_[last] = refs_.size();
          refs_.push_back(std::move(ref));
        } else if (IsGroup(j, end)) {
          std::string alias;
          after = Alias(Next(match_[j] + 1, end), &alias);
        } else {
          break;
        }
        if (lw != "from" || after >= end || !IsPunct(t_[after], ",")) break;
        j = Next(after + 1, end);
      }
    }
  }

  // Skips table hints and an alias (lower case into *alias) starting at a;
  // returns the index after them.
  size_t Alias(size_t a, std::string* alias) const {
    const size_t end = t_.size();
    auto skip_hints = [&](size_t x) {
      bool locking = false;
      if (x < end && IsWord(t_[x], "with")) {
        const size_t g = Next(x + 1, end);
        if (IsGroup(g, end) && IsHintGroup(g, &locking)) return Next(match_[g] + 1, end);
      }
      if (IsGroup(x, end) && IsHintGroup(x, &locking)) return Next(match_[x] + 1, end);
      return x;
    };
    a = skip_hints(a);
    if (a < end && IsWord(t_[a], "as")) a = Next(a + 1, end);
    if (a < end && IsName(a) &&
        !(t_[a].kind == TokenKind::kWord &&
          (IsKeyword(Lower(t_[a].text)) || IsWord(t_[a], "option") || IsWord(t_[a], "for")))) {
      *alias = Lower(NameText(a));
      a = skip_hints(Next(a + 1, end));
    }
    return a;
  }

  // Marks the first token of each column an UPDATE's SET list (the word at
  // set) assigns: "c = 5" there is no comparison.
  void MarkAssignments(size_t set) {
    bool item_start = true;
    for (size_t k = set + 1; k < t_.size(); ++k) {
      if (IsBlank(t_[k])) continue;
      if (IsWord(t_[k], "where") || IsWord(t_[k], "from") || IsWord(t_[k], "option")) return;
      if (item_start && IsName(k)) assigned_[k] = true;
      item_start = IsPunct(t_[k], ",");
      if (IsPunct(t_[k], "(")) k = match_[k];
    }
  }

  // The shape of table reference r, looked up on first use; null when the
  // engine knows no such table.
  const TableShape* Shape(size_t r) {
    TableRef& ref = refs_[r];
    if (!ref.looked_up) {
      ref.shape = schema_->Table(ref.written);
      ref.looked_up = true;
    }
    return ref.shape;
  }

  // The table reference a qualifier names (its alias, or its name when it
  // has none), or kNone.
  size_t RefNamed(const std::string& qualifier) const {
    const std::string lq = Lower(qualifier);
    for (size_t r = 0; r < refs_.size(); ++r) {
      if (refs_[r].alias == lq) return r;
    }
    for (size_t r = 0; r < refs_.size(); ++r) {
      if (refs_[r].alias.empty() && Lower(refs_[r].written) == lq) return r;
    }
    return kNone;
  }

  // The column the dotted name parts name: through its qualifier, or the
  // first table of the statement that has such a column. Null when none.
  const ColumnShape* ResolveColumn(const std::vector<size_t>& parts) {
    const std::string name = NameText(parts.back());
    if (parts.size() >= 2) {
      const size_t r = RefNamed(NameText(parts[parts.size() - 2]));
      const TableShape* shape = r == kNone ? nullptr : Shape(r);
      return shape ? shape->Column(name) : nullptr;
    }
    for (size_t r = 0; r < refs_.size(); ++r) {
      if (const TableShape* shape = Shape(r)) {
        if (const ColumnShape* column = shape->Column(name)) return column;
      }
    }
    return nullptr;
  }

  // True for a comparison operator token.
  static bool IsComparison(const Token& t) {
    if (t.kind != TokenKind::kPunct) return false;
    for (const char* op : {"=", "<>", "!=", "<", ">", "<=", ">=", "!<", "!>"}) {
      if (t.text == op) return true;
    }
    return false;
  }

  // The type of the number literal at v (after an optional sign); false
  // when there is none.
  bool NumberAt(size_t v, size_t e, NumberType* type) const {
    if (v < e && (IsPunct(t_[v], "-") || IsPunct(t_[v], "+"))) v = Next(v + 1, e);
    if (v >= e || t_[v].kind != TokenKind::kNumber) return false;
    const std::string& n = t_[v].text;
    if (n.size() > 1 && (n[1] == 'x' || n[1] == 'X')) return false;  // binary, not a number
    if (n.find_first_of("eE") != std::string::npos) {
      *type = NumberType::kFloat;
    } else if (n.find('.') != std::string::npos) {
      *type = NumberType::kDecimal;
    } else {
      const size_t nonzero = n.find_first_not_of('0');
      const size_t digits = nonzero == std::string::npos ? 0 : n.size() - nonzero;
      *type = digits > 10 || (digits == 10 && n.substr(n.size() - 10) > "2147483647")
                  ? NumberType::kDecimal
                  : NumberType::kInt;
    }
    return true;
  }

  // True, with the type, when the operand written from token start up to
  // after is compared with a number: c op n, n op c, c [not] between n and
  // m, c [not] in (n, ...).
  bool ComparedWithNumber(size_t start, size_t after, size_t b, size_t e, NumberType* type) const {
    if (assigned_[start]) return false;
    size_t n = Next(after, e);
    if (n < e && IsComparison(t_[n])) {
      // select c = expr and update ... set c = expr name and assign.
      const size_t p = Prev(start, b);
      if (IsPunct(t_[n], "=") && p != kNone &&
          (IsPunct(t_[p], ",") || IsWord(t_[p], "select") || IsWord(t_[p], "set") ||
           IsWord(t_[p], "distinct") || IsWord(t_[p], "all"))) {
        return false;
      }
      return NumberAt(Next(n + 1, e), e, type);
    }
    if (n < e && IsWord(t_[n], "not")) n = Next(n + 1, e);
    if (n < e && IsWord(t_[n], "between")) {
      const size_t v = Next(n + 1, e);
      if (!NumberAt(v, e, type)) return false;
      size_t a = Next(v + 1, e);
      if (a < e && t_[a].kind == TokenKind::kNumber) a = Next(a + 1, e);
      NumberType second;
      if (a < e && IsWord(t_[a], "and") && NumberAt(Next(a + 1, e), e, &second) && second > *type) {
        *type = second;
      }
      return true;
    }
    if (n < e && IsWord(t_[n], "in")) {
      const size_t g = Next(n + 1, e);
      if (!IsGroup(g, e)) return false;
      bool any = false;
      for (const auto& arg : Arguments(g)) {
        const size_t v = Next(arg.first, arg.second);
        NumberType one;
        if (!NumberAt(v, arg.second, &one)) return false;
        size_t after_number = Next(v + 1, arg.second);
        if (after_number < arg.second && t_[after_number].kind == TokenKind::kNumber) {
          after_number = Next(after_number + 1, arg.second);  // the number after a sign
        }
        if (after_number != arg.second) return false;
        if (!any || one > *type) *type = one;
        any = true;
      }
      return any;
    }
    const size_t p = Prev(start, b);
    if (p != kNone && IsComparison(t_[p])) {
      const size_t q = Prev(p, b);
      return q != kNone && NumberAt(q, e, type);
    }
    return false;
  }

  // Parses a type written between b and e: int, varchar(8), decimal(10,2).
  SqlType ParseType(size_t b, size_t e) const {
    size_t i = Next(b, e);
    if (i >= e || t_[i].kind != TokenKind::kWord)
      SyntaxError("Incorrect syntax: a type is missing.");
    SqlType type;
    type.name = Lower(t_[i].text);
    i = Next(i + 1, e);
    if (type.name == "double" && i < e && IsWord(t_[i], "precision")) {
      type.name = "float";
      i = Next(i + 1, e);
    }
    if (IsGroup(i, e)) {
      int* slot = &type.length;
      for (size_t k = i + 1; k < match_[i]; ++k) {
        if (IsBlank(t_[k])) continue;
        if (IsPunct(t_[k], ",") && slot == &type.length) {
          slot = &type.scale;
        } else if (t_[k].kind == TokenKind::kNumber) {
          *slot = std::atoi(t_[k].text.c_str());
        } else if (IsWord(t_[k], "max")) {
          *slot = 0;
        } else {
          SyntaxError("Incorrect syntax in the type " + type.name + ".");
        }
      }
      i = Next(match_[i] + 1, e);
    }
    if (i < e) SyntaxError("Incorrect syntax near '" + t_[i].text + "'.");
    return type;
  }

  // The top-level commas of the group opening at g split it into arguments.
  std::vector<std::pair<size_t, size_t>> Arguments(size_t g) const {
    std::vector<std::pair<size_t, size_t>> args;
    size_t start = g + 1;
    for (size_t i = g + 1; i < match_[g]; ++i) {
      if (IsPunct(t_[i], "(")) {
        i = match_[i];
      } else if (IsPunct(t_[i], ",")) {
        args.emplace_back(start, i);
        start = i + 1;
      }
    }
    args.emplace_back(start, match_[g]);
    return args;
  }

  // cast(expr as type) for the group opening at g.
  std::string Cast(size_t g) {
    size_t as = kNone;
    for (size_t i = g + 1; i < match_[g]; ++i) {
      if (IsPunct(t_[i], "(")) {
        i = match_[i];
      } else if (IsWord(t_[i], "as")) {
        as = i;
      }
    }
    if (as == kNone) SyntaxError("Incorrect syntax near 'cast': AS is missing.");
    const std::string expr = Range(g + 1, as, false);
    return d_.cast(expr, ParseType(as + 1, match_[g]));
  }

  // convert(type, expr[, style]) for the group opening at g.
  std::string Convert(size_t g) {
    auto args = Arguments(g);
    if (args.size() < 2 || args.size() > 3) {
      SyntaxError("The convert function requires 2 or 3 arguments.");
    }
    const SqlType type = ParseType(args[0].first, args[0].second);
    const std::string expr = Range(args[1].first, args[1].second, false);
    if (args.size() == 2) return d_.cast(expr, type);
    const size_t s = Next(args[2].first, args[2].second);
    if (s >= args[2].second || t_[s].kind != TokenKind::kNumber ||
        Next(s + 1, args[2].second) != args[2].second) {
      NotSupported("convert with a style that is not a number");
    }
    return d_.convert_style(expr, type, std::atoi(t_[s].text.c_str()));
  }

  // dateadd / datediff / datepart / year / month / day for the group opening
  // at g, through the dialect.
  std::string DateFunction(const std::string& name, size_t g) {
    if (!d_.date_function) NotSupported("the function " + name);
    auto args = Arguments(g);
    std::string unit;
    size_t first_value = 1;
    if (name == "year" || name == "month" || name == "day") {
      unit = name;
      first_value = 0;
    } else {
      const size_t u = Next(args[0].first, args[0].second);
      if (u >= args[0].second || Next(u + 1, args[0].second) != args[0].second ||
          (t_[u].kind != TokenKind::kWord && t_[u].kind != TokenKind::kString)) {
        SyntaxError("Invalid parameter 1 specified for " + name + ".");
      }
      unit = CanonicalDatePart(Lower(t_[u].kind == TokenKind::kWord ? t_[u].text : t_[u].value));
      if (unit.empty()) NotSupported("the date part " + t_[u].text + " of " + name);
    }
    const size_t want = name == "datepart" ? 2 : (first_value == 0 ? 1 : 3);
    if (args.size() != want) {
      SyntaxError("The " + name + " function requires " + std::to_string(want) + " arguments.");
    }
    std::vector<std::string> values;
    for (size_t k = first_value; k < args.size(); ++k) {
      if (Next(args[k].first, args[k].second) == args[k].second) {
        SyntaxError("An argument of " + name + " is missing.");
      }
      values.push_back(Range(args[k].first, args[k].second, false));
    }
    return d_.date_function(name == "year" || name == "month" || name == "day" ? "datepart" : name,
                            unit, values);
  }

  // IDENT_CURRENT('T') for the group opening at g.
  std::string IdentCurrent(size_t g) const {
    auto args = Arguments(g);
    const size_t s = Next(args[0].first, args[0].second);
    if (args.size() != 1 || s >= args[0].second || t_[s].kind != TokenKind::kString ||
        Next(s + 1, args[0].second) != args[0].second) {
      NotSupported("IDENT_CURRENT with an argument other than one table name literal");
    }
    return d_.ident_current(PlainTableName(t_[s].value));
  }

  // A string next to '+' is T-SQL string concatenation, which the engines
  // spell differently; the types of the other operand are unknown here.
  void CheckConcatenation(size_t i, size_t b, size_t e) const {
    const size_t p = Prev(i, b);
    const size_t n = Next(i + 1, e);
    if ((p != kNone && IsPunct(t_[p], "+")) || (n < e && IsPunct(t_[n], "+"))) {
      NotSupported("'+' next to a string literal (string concatenation)");
    }
  }

  // Date arithmetic with + or - (getdate()-1) has no portable spelling.
  void CheckDateArithmetic(size_t first, size_t last, size_t b, size_t e) const {
    const size_t p = Prev(first, b);
    const size_t n = Next(last + 1, e);
    if ((p != kNone && (IsPunct(t_[p], "+") || IsPunct(t_[p], "-"))) ||
        (n < e && (IsPunct(t_[n], "+") || IsPunct(t_[n], "-")))) {
      NotSupported("date arithmetic with '+' or '-'");
    }
  }

  // T-SQL LIKE patterns know [a-c] character sets; the engines' LIKE reads
  // '[' as itself.
  void CheckLikePattern(size_t i, size_t b) const {
    const size_t p = Prev(i, b);
    if (p != kNone && IsWord(t_[p], "like") && t_[i].value.find('[') != std::string::npos) {
      NotSupported("a LIKE pattern with [...]");
    }
  }

  // True for a T-SQL function the dialect lists as having no translation.
  bool IsUnsupportedFunction(const std::string& lw) const {
    if (!d_.unsupported_functions) return false;
    for (const char* const* f = d_.unsupported_functions; *f; ++f) {
      if (lw == *f) return true;
    }
    return false;
  }

  // Rewrites tokens [b, e). A statement or one parenthesised group is a
  // scope: TOP found in it becomes a LIMIT at its end.
  std::string Range(size_t b, size_t e, bool statement_scope) {
    std::string limit;
    bool set_operation = false;
    const size_t first = Next(b, e);
    const bool is_insert = statement_scope && first < e && IsWord(t_[first], "insert");
    const bool is_select = first < e && IsWord(t_[first], "select");
    // A query nested in DDL (a subquery in a CHECK) wraps its signs too.
    const bool outer_wrapping = wrapping_;
    wrapping_ = wrapping_ || is_select;
    Pieces out(d_, wrapping_);
    size_t i = b;
    while (i < e) {
      const Token& tk = t_[i];
      switch (tk.kind) {
        case TokenKind::kSpace:
          out.Add(PieceKind::kBlank, tk.text);
          ++i;
          continue;
        case TokenKind::kComment:
          out.Add(PieceKind::kBlank, " ");
          ++i;
          continue;
        case TokenKind::kString:
          // Where + stays the engine's operator it would not concatenate.
          if (!d_.add_function || !out.wrapping()) CheckConcatenation(i, b, e);
          CheckLikePattern(i, b);
          out.Add(PieceKind::kOperand,
                  QuoteString(tk.value) +
                      (collate_literals_ ? std::string(" COLLATE ") + d_.literal_collation : ""));
          ++i;
          continue;
        case TokenKind::kNumber:
          out.Add(PieceKind::kOperand, tk.text);
          ++i;
          continue;
        case TokenKind::kPunct:
          if (IsPunct(tk, "(")) {
            const size_t close = match_[i];
            const size_t inner = Next(i + 1, close);
            if (is_insert && d_.unwrap_insert_select && inner < close &&
                IsWord(t_[inner], "select") && Next(close + 1, e) == e) {
              out.Add(PieceKind::kOther, Range(i + 1, close, false));
            } else {
              out.AddGroup("(" + Range(i + 1, close, false) + ")");
            }
            i = close + 1;
          } else if (IsPunct(tk, "?") || IsPunct(tk, ":") || IsPunct(tk, "::") ||
                     IsPunct(tk, "$")) {
            // No T-SQL meaning here, and an engine would read ?, :name or
            // $name as an unbound parameter, that is as NULL.
            SyntaxError("Incorrect syntax near '" + tk.text + "'.");
          } else if (IsPunct(tk, "!<")) {
            out.Add(PieceKind::kOther, ">=");
            ++i;
          } else if (IsPunct(tk, "!>")) {
            out.Add(PieceKind::kOther, "<=");
            ++i;
          } else {
            out.Add(PunctKind(tk.text), tk.text);
            ++i;
          }
          continue;
        case TokenKind::kWord:
        case TokenKind::kQuotedName:
          break;
      }
      // A word or a quoted name.
      const size_t next = Next(i + 1, e);
      const bool call = tk.kind == TokenKind::kWord && IsGroup(next, e);
      const std::string lw = tk.kind == TokenKind::kWord ? Lower(tk.text) : std::string();
      if (tk.kind == TokenKind::kWord && lw[0] == '@') NotSupported("the variable " + tk.text);
      if (tk.kind == TokenKind::kWord && lw[0] == '#') {
        NotSupported("the temporary table " + tk.text);
      }
      if (lw == "select" && !out.wrapping()) {
        // The query of CREATE VIEW ... AS SELECT: from here on a query.
        out.StartWrapping();
        wrapping_ = true;
      }
      if (lw == "top") {
        const size_t p = Prev(i, b);
        if (p != kNone &&
            (IsWord(t_[p], "select") || IsWord(t_[p], "distinct") || IsWord(t_[p], "all"))) {
          i = Top(i, e, &limit);
          continue;
        }
      }
      if (lw == "union" || lw == "except" || lw == "intersect") set_operation = true;
      // An IDENTITY column definition; the dialect lists it when the engine
      // spells identity columns otherwise.
      if (lw == "identity" && IsUnsupportedFunction(lw)) NotSupported("IDENTITY columns");
      if (lw == "current_timestamp") {
        // The local date and time in T-SQL, as getdate().
        CheckDateArithmetic(i, i, b, e);
        out.Add(PieceKind::kOperand, d_.now_expression);
        ++i;
        continue;
      }
      if (lw == "into" && is_select && statement_scope) NotSupported("SELECT ... INTO");
      if (call) {
        const size_t close = match_[next];
        if (lw == "isnull") {
          out.Add(PieceKind::kName, d_.isnull_function);
          i = i + 1;
          continue;
        }
        if (lw == "substring") {
          out.Add(PieceKind::kName, d_.substring_function);
          i = i + 1;
          continue;
        }
        if (lw == "len") {
          // LEN does not count trailing blanks, and takes a number as its
          // text (LEN(123) is 3): the engines' rtrim wants text.
          out.Add(PieceKind::kOperand, std::string(d_.length_function) + "(rtrim(CAST(" +
                                           Range(next + 1, close, false) + " AS TEXT)))");
          i = close + 1;
          continue;
        }
        if (lw == "getdate") {
          if (Next(next + 1, close) != close) SyntaxError("getdate takes no arguments.");
          CheckDateArithmetic(i, close, b, e);
          out.Add(PieceKind::kOperand, d_.now_expression);
          i = close + 1;
          continue;
        }
        if (lw == "dateadd" || lw == "datediff" || lw == "datepart" || lw == "year" ||
            lw == "month" || lw == "day") {
          out.Add(PieceKind::kOperand, DateFunction(lw, next));
          i = close + 1;
          continue;
        }
        if (d_.function_name) {
          if (const char* name = d_.function_name(lw)) {
            out.Add(PieceKind::kName, name);
            i = i + 1;
            continue;
          }
        }
        if (IsUnsupportedFunction(lw)) NotSupported("the function " + tk.text);
        if (lw == "ident_current") {
          out.Add(PieceKind::kOperand, IdentCurrent(next));
          i = close + 1;
          continue;
        }
        if (lw == "cast") {
          out.Add(PieceKind::kOperand, Cast(next));
          i = close + 1;
          continue;
        }
        if (lw == "convert") {
          out.Add(PieceKind::kOperand, Convert(next));
          i = close + 1;
          continue;
        }
        bool locking = false;
        if (lw == "with" && IsHintGroup(next, &locking)) {
          const size_t p = Prev(i, b);
          if (locking && p != kNone && IsName(p)) {
            locked_.push_back(t_[p].kind == TokenKind::kQuotedName ? t_[p].value : t_[p].text);
          }
          i = close + 1;
          continue;
        }
      }
      if (statement_scope && i == first && lw == "insert" && next < e &&
          !IsWord(t_[next], "into")) {
        out.Add(PieceKind::kKeyword, tk.text + " into");
        ++i;
        continue;
      }
      if (statement_scope && i == first && lw == "delete" && next < e &&
          !IsWord(t_[next], "from")) {
        out.Add(PieceKind::kKeyword, tk.text + " from");
        ++i;
        continue;
      }
      std::string last;
      std::string name;
      std::vector<size_t> parts;
      const size_t start = i;
      i = DottedName(i, e, &name, &last, &parts);
      PieceKind kind = last.empty()                                     ? PieceKind::kOther
                       : (tk.kind == TokenKind::kWord && IsKeyword(lw)) ? PieceKind::kKeyword
                                                                        : PieceKind::kName;
      // A character column compared with a number is compared as a number,
      // as SQL Server's type precedence has it.
      NumberType number_type;
      if (kind == PieceKind::kName && schema_ && d_.number_from_text && wrapping_ &&
          ComparedWithNumber(start, i, b, e, &number_type)) {
        const ColumnShape* column = ResolveColumn(parts);
        if (column && column->character) {
          name = d_.number_from_text(name, number_type);
          kind = PieceKind::kOperand;
        }
      }
      out.Add(kind, name);
      // An old-style hint group right after a name: T (nolock).
      const size_t g = Next(i, e);
      bool locking = false;
      if (IsGroup(g, e) && IsHintGroup(g, &locking)) {
        if (locking) locked_.push_back(last);
        i = match_[g] + 1;
      }
    }
    std::string text = out.Join();
    if (!limit.empty()) {
      if (set_operation) NotSupported("TOP in a query with UNION, EXCEPT or INTERSECT");
      while (!text.empty() && (text.back() == ' ' || text.back() == '\n' || text.back() == '\r' ||
                               text.back() == '\t')) {
        text.pop_back();
      }
      text += " LIMIT " + limit;
    }
    wrapping_ = outer_wrapping;
    return text;
  }

  // TOP n or TOP (n) at i; stores n in limit and returns the index after it.
  size_t Top(size_t i, size_t e, std::string* limit) const {
    if (!limit->empty()) NotSupported("two TOP clauses in one query");
    size_t n = Next(i + 1, e);
    size_t after;
    if (n < e && t_[n].kind == TokenKind::kNumber) {
      *limit = t_[n].text;
      after = n + 1;
    } else if (IsGroup(n, e)) {
      const size_t v = Next(n + 1, match_[n]);
      if (v >= match_[n] || t_[v].kind != TokenKind::kNumber ||
          Next(v + 1, match_[n]) != match_[n]) {
        NotSupported("TOP with an expression");
      }
      *limit = t_[v].text;
      after = match_[n] + 1;
    } else {
      SyntaxError("Incorrect syntax near 'top'.");
    }
    if (limit->find_first_not_of("0123456789") != std::string::npos) {
      NotSupported("TOP with a number that is not a whole number: " + *limit);
    }
    const size_t k = Next(after, e);
    if (k < e && IsWord(t_[k], "percent")) NotSupported("TOP ... PERCENT");
    if (k < e && IsWord(t_[k], "with")) {
      const size_t w = Next(k + 1, e);
      if (w < e && IsWord(t_[w], "ties")) NotSupported("TOP ... WITH TIES");
    }
    return after;
  }

  // A table the statement names.
  struct TableRef {
    std::string written;  // its name as written (last part, unquoted)
    std::string alias;    // lower case, or empty
    const TableShape* shape = nullptr;
    bool looked_up = false;
  };

  std::vector<Token> t_;
  std::vector<size_t> match_;
  const Dialect& d_;
  Schema* schema_;
  std::vector<TableRef> refs_;
  std::vector<size_t> ref_at_;  // per token: the TableRef of a table name's last part
  std::vector<bool> assigned_;  // per token: first token of a column SET assigns
  bool collate_literals_ = false;
  // True while the scope being rewritten is a query or data statement, where
  // binary + and - take the dialect's functions.
  bool wrapping_ = false;
  std::vector<std::string> locked_;
};

// Statements whose first word says they cannot be translated.
const char* const kUnsupportedHeads[] = {
    "exec", "execute", "declare", "print", "raiserror", "use", "go", "begin", "commit", "rollback",
    "save", "merge", "if", "while", "truncate", "waitfor", "grant", "revoke", "deny", "openquery",
    "backup", "restore", "kill", "checkpoint",
    // Engine transaction and file control that is no T-SQL: it would open
    // transactions or databases behind the layer's back.
    "savepoint", "release", "end", "attach", "detach"};

// For a plain insert (see FastPath.h): true when its names reach the
// engine as written, that is when the dialect's names do not mind case or
// the table and its columns are stored in lower case, as the engine folds
// the names of the text.
bool NamesAsWritten(const std::string& text, const Dialect& dialect, Schema* schema) {
  if (!schema || !dialect.quote_stored_name) return true;
  const TableShape* shape = schema->Table(PlainInsertTable(text));
  if (!shape) return true;
  auto lower = [](const std::string& n) { return Lower(n) == n; };
  if (!lower(shape->name)) return false;
  for (const ColumnShape& c : shape->columns) {
    if (!lower(c.name)) return false;
  }
  return true;
}

}  // namespace

[[noreturn]] void NotSupported(const std::string& what) {
  throw _com_error(kNotSupported, CString("T-SQL construct not supported: " + what));
}

[[noreturn]] void SyntaxError(const std::string& message) {
  throw _com_error(kStatementError, CString(message));
}

std::string PlainTableName(const std::string& written) {
  // [db]..[T], db.dbo.T, dbo.T, [T] -> T; a lone name stays as it is.
  std::vector<Token> tokens = Lex(written);
  std::string last;
  for (const Token& t : tokens) {
    if (t.kind == TokenKind::kQuotedName) last = t.value;
    if (t.kind == TokenKind::kWord) last = t.text;
  }
  return last.empty() ? written : last;
}

Statement Rewrite(const std::string& text, const Dialect& dialect, Schema* schema) {
  Statement st;
  if (IsPlainInsert(text) && NamesAsWritten(text, dialect, schema)) {
    // Nothing in it for the rewrite to change (see FastPath.h).
    st.sql = text;
    return st;
  }
  std::vector<Token> tokens = Lex(text);
  size_t first = 0;
  while (first < tokens.size() && IsBlank(tokens[first])) ++first;
  if (first == tokens.size()) {
    st.kind = StatementKind::kNoop;
    return st;
  }
  if (tokens[first].kind == TokenKind::kWord) {
    const std::string lw = Lower(tokens[first].text);
    if (lw == "set") return RewriteSet(tokens, first);
    if (lw == "bulk") return RewriteBulkInsert(tokens, first);
    if (lw == "dbcc") return RewriteDbcc(tokens, first);
    for (const char* head : kUnsupportedHeads) {
      if (lw == head) NotSupported("the " + tokens[first].text + " statement");
    }
  }
  Rewriter r(std::move(tokens), dialect, schema);
  st.sql = r.Statement();
  st.locked_tables = r.locked_tables();
  return st;
}

// A terminator written with escapes or as a hex byte, as the bytes it means.
std::string TerminatorBytes(const std::string& written) {
  if (written.size() > 2 && written[0] == '0' && (written[1] == 'x' || written[1] == 'X')) {
    return std::string(1, static_cast<char>(std::stoi(written.substr(2), nullptr, 16)));
  }
  std::string out;
  for (size_t i = 0; i < written.size(); ++i) {
    if (written[i] == '\\' && i + 1 < written.size()) {
      const char e = written[++i];
      out += e == 't' ? '\t' : e == 'n' ? '\n' : e == 'r' ? '\r' : e == '0' ? '\0' : e;
    } else {
      out += written[i];
    }
  }
  return out;
}

}  // namespace kestal::db::tsql
