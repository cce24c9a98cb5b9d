// set rowcount / set nocount, BULK INSERT and DBCC CHECKIDENT: parsed into
// requests that the engine session carries out.
#include "sql/db/tsql/StatementHandlers.h"

#include <strings.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace kestal::db::tsql {
namespace {

// A cursor over the non-blank tokens of one statement.
class Cursor {
 public:
  Cursor(const std::vector<Token>& tokens, size_t first) {
    for (size_t i = first; i < tokens.size(); ++i) {
      if (!IsBlank(tokens[i])) sig_.push_back(&tokens[i]);
    }
  }
  bool AtEnd() const { return pos_ >= sig_.size(); }
  const Token* Peek() const { return AtEnd() ? nullptr : sig_[pos_]; }
  // The next token; a statement error naming expected when there is none.
  const Token& Take(const char* expected) {
    if (AtEnd()) SyntaxError(std::string("Incorrect syntax: ") + expected + " is missing.");
    return *sig_[pos_++];
  }
  // Consumes the next token when it is word; true when it did.
  bool TakeWord(const char* word) {
    if (!AtEnd() && IsWord(*sig_[pos_], word)) {
      ++pos_;
      return true;
    }
    return false;
  }
  // Consumes the next token when it is punctuation p; true when it did.
  bool TakePunct(const char* p) {
    if (!AtEnd() && IsPunct(*sig_[pos_], p)) {
      ++pos_;
      return true;
    }
    return false;
  }
  // Consumes punctuation p or raises a statement error.
  void ExpectPunct(const char* p) {
    if (!TakePunct(p)) {
      SyntaxError(std::string("Incorrect syntax near '") + (AtEnd() ? "end" : Peek()->text) +
                  "': '" + p + "' expected.");
    }
  }
  // Raises a statement error when tokens are left.
  void ExpectEnd() {
    if (!AtEnd()) SyntaxError("Incorrect syntax near '" + Peek()->text + "'.");
  }
  // A possibly signed whole number.
  long long Number(const char* what) {
    bool negative = TakePunct("-");
    if (!negative) TakePunct("+");
    const Token& t = Take(what);
    if (t.kind != TokenKind::kNumber ||
        t.text.find_first_not_of("0123456789") != std::string::npos) {
      NotSupported(std::string(what) + " given as '" + t.text + "' (a whole number is required)");
    }
    errno = 0;
    long long v = std::strtoll(t.text.c_str(), nullptr, 10);
    if (errno == ERANGE) SyntaxError(std::string(what) + " is out of range: " + t.text);
    return negative ? -v : v;
  }
  // A possibly dotted table name; returns its table part.
  std::string TableName() {
    std::string written;
    const Token& t = Take("a table name");
    if (t.kind != TokenKind::kWord && t.kind != TokenKind::kQuotedName &&
        t.kind != TokenKind::kString) {
      SyntaxError("Incorrect syntax near '" + t.text + "': a table name is expected.");
    }
    if (t.kind == TokenKind::kString) return PlainTableName(t.value);
    written = t.text;
    while (!AtEnd() && IsPunct(*Peek(), ".")) {
      written += Take(".").text;
      if (!AtEnd() &&
          (Peek()->kind == TokenKind::kWord || Peek()->kind == TokenKind::kQuotedName)) {
        written += Take("a name").text;
      }
    }
    return PlainTableName(written);
  }

 private:
  std::vector<const Token*> sig_;
  size_t pos_ = 0;
};

// Terminator text of BULK INSERT: \n, \r, \t and \\ stand for their bytes;
// 0x0A-style hex names one byte.
std::string Unescape(const std::string& text) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    return std::string(1, static_cast<char>(std::strtol(text.c_str() + 2, nullptr, 16)));
  }
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size()) {
      const char c = text[++i];
      if (c == 'n') {
        out += '\n';
      } else if (c == 'r') {
        out += '\r';
      } else if (c == 't') {
        out += '\t';
      } else {
        out += c;
      }
    } else {
      out += text[i];
    }
  }
  return out;
}

}  // namespace

Statement RewriteSet(const std::vector<Token>& tokens, size_t first) {
  Cursor c(tokens, first);
  c.Take("set");
  Statement st;
  if (c.TakeWord("rowcount")) {
    const long long n = c.Number("the rowcount");
    c.ExpectEnd();
    if (n < 0) SyntaxError("set rowcount needs a number of 0 or more.");
    st.kind = StatementKind::kSetRowcount;
    st.rowcount = n > LONG_MAX ? LONG_MAX : static_cast<long>(n);
    return st;
  }
  if (c.TakeWord("nocount")) {
    if (!c.TakeWord("on") && !c.TakeWord("off")) SyntaxError("set nocount needs ON or OFF.");
    c.ExpectEnd();
    st.kind = StatementKind::kNoop;
    return st;
  }
  // Options whose ON state is how the engines behave anyway.
  for (const char* option : {"ansi_nulls", "quoted_identifier", "ansi_padding", "ansi_warnings",
                             "concat_null_yields_null", "arithabort", "xact_abort"}) {
    if (c.TakeWord(option)) {
      if (!c.TakeWord("on")) NotSupported(std::string("SET ") + option + " other than ON");
      c.ExpectEnd();
      st.kind = StatementKind::kNoop;
      return st;
    }
  }
  // IDENTITY_INSERT only makes T-SQL accept explicit identity values, which
  // the engines accept anyway.
  if (c.TakeWord("identity_insert")) {
    c.TableName();
    if (!c.TakeWord("on") && !c.TakeWord("off"))
      SyntaxError("set identity_insert needs ON or OFF.");
    c.ExpectEnd();
    st.kind = StatementKind::kNoop;
    return st;
  }
  const Token* t = c.Peek();
  NotSupported("SET " + (t ? t->text : std::string()));
}

Statement RewriteBulkInsert(const std::vector<Token>& tokens, size_t first) {
  Cursor c(tokens, first);
  c.Take("bulk");
  if (!c.TakeWord("insert")) NotSupported("BULK statement other than BULK INSERT");
  Statement st;
  st.kind = StatementKind::kBulkInsert;
  st.bulk.table = c.TableName();
  if (!c.TakeWord("from")) SyntaxError("Incorrect syntax: BULK INSERT needs FROM 'file'.");
  const Token& path = c.Take("the file name");
  if (path.kind != TokenKind::kString) SyntaxError("BULK INSERT needs the file name as a string.");
  st.bulk.path = path.value;
  if (c.TakeWord("with")) {
    c.ExpectPunct("(");
    do {
      const Token& opt = c.Take("a BULK INSERT option");
      if (opt.kind != TokenKind::kWord) SyntaxError("Incorrect syntax near '" + opt.text + "'.");
      const char* name = opt.text.c_str();
      auto string_value = [&]() -> std::string {
        c.ExpectPunct("=");
        const Token& v = c.Take("an option value");
        if (v.kind != TokenKind::kString) {
          SyntaxError(std::string("the BULK INSERT option ") + name + " needs a string.");
        }
        return v.value;
      };
      if (strcasecmp(name, "datafiletype") == 0) {
        const std::string v = string_value();
        if (strcasecmp(v.c_str(), "char") != 0)
          NotSupported("BULK INSERT DATAFILETYPE = '" + v + "'");
      } else if (strcasecmp(name, "fieldterminator") == 0) {
        st.bulk.field_terminator = Unescape(string_value());
        if (st.bulk.field_terminator.empty()) SyntaxError("FIELDTERMINATOR is empty.");
      } else if (strcasecmp(name, "rowterminator") == 0) {
        const std::string v = Unescape(string_value());
        // "\n" means the line end, with or without CR, as for character files.
        st.bulk.row_terminator = (v == "\n" || v == "\r\n") ? std::string() : v;
      } else if (strcasecmp(name, "codepage") == 0) {
        const std::string v = string_value();
        if (strcasecmp(v.c_str(), "acp") != 0 && strcasecmp(v.c_str(), "raw") != 0) {
          NotSupported("BULK INSERT CODEPAGE = '" + v + "'");
        }
      } else if (strcasecmp(name, "firstrow") == 0) {
        c.ExpectPunct("=");
        const long long v = c.Number("FIRSTROW");
        if (v < 1) SyntaxError("FIRSTROW must be 1 or more.");
        st.bulk.first_row = v > LONG_MAX ? LONG_MAX : static_cast<long>(v);
      } else if (strcasecmp(name, "batchsize") == 0 || strcasecmp(name, "rows_per_batch") == 0 ||
                 strcasecmp(name, "kilobytes_per_batch") == 0) {
        // All rows load in one transaction; the batch size changes nothing.
        c.ExpectPunct("=");
        c.Number(name);
      } else if (strcasecmp(name, "keepidentity") == 0) {
        st.bulk.keep_identity = true;
      } else if (strcasecmp(name, "tablock") == 0 || strcasecmp(name, "check_constraints") == 0 ||
                 strcasecmp(name, "fire_triggers") == 0 || strcasecmp(name, "keepnulls") == 0) {
        // The load holds the write lock anyway; constraints and triggers
        // always apply; empty fields load as NULL.
      } else {
        NotSupported(std::string("the BULK INSERT option ") + name);
      }
    } while (c.TakePunct(","));
    c.ExpectPunct(")");
  }
  c.ExpectEnd();
  return st;
}

Statement RewriteDbcc(const std::vector<Token>& tokens, size_t first) {
  Cursor c(tokens, first);
  c.Take("dbcc");
  const Token& command = c.Take("a DBCC command");
  if (!IsWord(command, "checkident")) NotSupported("DBCC " + command.text);
  Statement st;
  st.kind = StatementKind::kReseed;
  c.ExpectPunct("(");
  st.table = c.TableName();
  if (!c.TakePunct(",") || !c.TakeWord("reseed")) {
    NotSupported("DBCC CHECKIDENT without RESEED");
  }
  if (!c.TakePunct(",")) NotSupported("DBCC CHECKIDENT RESEED without a new value");
  st.seed = c.Number("the new identity value");
  c.ExpectPunct(")");
  if (c.TakeWord("with")) {
    if (!c.TakeWord("no_infomsgs")) NotSupported("DBCC CHECKIDENT options other than NO_INFOMSGS");
  }
  c.ExpectEnd();
  return st;
}

}  // namespace kestal::db::tsql
