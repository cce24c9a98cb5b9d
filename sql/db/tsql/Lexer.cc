#include "sql/db/tsql/Lexer.h"

#include <strings.h>

#include <cctype>

#include "sql/db/ComError.h"

namespace kestal::db::tsql {
namespace {

// True for a byte that can begin a word (non-ASCII bytes count, for names).
bool IsWordStart(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == '@' || c == '#' ||
         c >= 0x80;
}

// True for a byte that can continue a word.
bool IsWordChar(unsigned char c) {
  return IsWordStart(c) || (c >= '0' && c <= '9') || c == '$';
}

// True for an ASCII digit.
bool IsDigit(unsigned char c) {
  return c >= '0' && c <= '9';
}

[[noreturn]] void Fail(const std::string& message) {
  throw _com_error(kStatementError, CString(message));
}

// A short excerpt of text from pos, for error messages.
std::string Excerpt(const std::string& text, size_t pos) {
  std::string s = text.substr(pos, 40);
  return s;
}

// Reads a quoted run starting at pos (text[pos] is the opening quote) and
// closed by close, where a doubled close stands for one. Returns the index
// just after the closing quote; stores the content in value unless it is
// null (callers that only need the token's extent skip the copy).
size_t ReadQuoted(const std::string& text, size_t pos, char close, std::string* value,
                  const char* what) {
  size_t i = pos + 1;
  while (true) {
    const size_t q = text.find(close, i);
    if (q == std::string::npos) break;
    if (value) value->append(text, i, q - i);
    if (q + 1 < text.size() && text[q + 1] == close) {
      if (value) *value += close;
      i = q + 2;
      continue;
    }
    return q + 1;
  }
  Fail(std::string("Unclosed ") + what + " before the end of the statement: " + Excerpt(text, pos));
}

// True for the blanks that separate tokens.
bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

// Scans the token that starts at start: returns the index just after it and
// stores its kind, and for strings and quoted names their content in value
// (unless value is null). Raises like Lex.
size_t ScanToken(const std::string& text, size_t start, TokenKind* kind, std::string* value) {
  size_t i = start;
  const size_t n = text.size();
  const unsigned char c = static_cast<unsigned char>(text[i]);
  if (IsSpace(text[i])) {
    while (i < n && IsSpace(text[i])) ++i;
    *kind = TokenKind::kSpace;
  } else if (c == '-' && i + 1 < n && text[i + 1] == '-') {
    const size_t eol = text.find('\n', i);
    i = eol == std::string::npos ? n : eol;
    *kind = TokenKind::kComment;
  } else if (c == '/' && i + 1 < n && text[i + 1] == '*') {
    int depth = 0;
    while (i < n) {
      if (text[i] == '/' && i + 1 < n && text[i + 1] == '*') {
        ++depth;
        i += 2;
      } else if (text[i] == '*' && i + 1 < n && text[i + 1] == '/') {
        i += 2;
        if (--depth == 0) break;
      } else {
        ++i;
      }
    }
    if (depth != 0) Fail("Missing end comment mark '*/'.");
    *kind = TokenKind::kComment;
  } else if (c == '\'') {
    i = ReadQuoted(text, i, '\'', value, "quotation mark");
    *kind = TokenKind::kString;
  } else if ((c == 'N' || c == 'n') && i + 1 < n && text[i + 1] == '\'') {
    i = ReadQuoted(text, i + 1, '\'', value, "quotation mark");
    *kind = TokenKind::kString;
  } else if (c == '[') {
    i = ReadQuoted(text, i, ']', value, "bracket");
    *kind = TokenKind::kQuotedName;
  } else if (c == '"') {
    i = ReadQuoted(text, i, '"', value, "quoted name");
    *kind = TokenKind::kQuotedName;
  } else if (IsDigit(c) || (c == '.' && i + 1 < n && IsDigit(text[i + 1]))) {
    if (c == '0' && i + 1 < n && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
      i += 2;
      while (i < n && std::isxdigit(static_cast<unsigned char>(text[i]))) ++i;
    } else {
      while (i < n && IsDigit(text[i])) ++i;
      if (i < n && text[i] == '.') {
        ++i;
        while (i < n && IsDigit(text[i])) ++i;
      }
      if (i < n && (text[i] == 'e' || text[i] == 'E')) {
        size_t j = i + 1;
        if (j < n && (text[j] == '+' || text[j] == '-')) ++j;
        if (j < n && IsDigit(text[j])) {
          i = j;
          while (i < n && IsDigit(text[i])) ++i;
        }
      }
    }
    *kind = TokenKind::kNumber;
  } else if (IsWordStart(c)) {
    while (i < n && IsWordChar(static_cast<unsigned char>(text[i]))) ++i;
    *kind = TokenKind::kWord;
  } else {
    static const char* const kTwo[] = {"!=", "<>", ">=", "<=", "!<", "!>", "||", "::"};
    i += 1;
    for (const char* op : kTwo) {
      if (c == static_cast<unsigned char>(op[0]) && start + 1 < n && text[start + 1] == op[1]) {
        i = start + 2;
        break;
      }
    }
    *kind = TokenKind::kPunct;
  }
  return i;
}

}  // namespace

std::vector<Token> Lex(const std::string& text) {
  std::vector<Token> out;
  // Statements run about one token to every two or three bytes; a guess on
  // the low side still saves most of the regrowth.
  out.reserve(text.size() / 4 + 4);
  size_t i = 0;
  const size_t n = text.size();
  while (i < n) {
    Token t{TokenKind::kPunct, std::string(), std::string(), i};
    const size_t end = ScanToken(text, i, &t.kind, &t.value);
    t.text.assign(text, i, end - i);
    out.push_back(std::move(t));
    i = end;
  }
  return out;
}

bool IsWord(const Token& t, const char* keyword) {
  return t.kind == TokenKind::kWord && strcasecmp(t.text.c_str(), keyword) == 0;
}

bool IsPunct(const Token& t, const char* text) {
  return t.kind == TokenKind::kPunct && t.text == text;
}

std::vector<std::string> SplitBatch(const std::string& batch) {
  // A statement is the text between two ';' at depth 0, so the scan only
  // needs token extents, not token copies.
  std::vector<std::string> out;
  size_t begin = 0;  // start of the current statement
  bool has_content = false;
  int depth = 0;
  size_t i = 0;
  const size_t n = batch.size();
  while (i < n) {
    TokenKind kind;
    const size_t end = ScanToken(batch, i, &kind, nullptr);
    if (kind == TokenKind::kPunct && end == i + 1) {
      const char c = batch[i];
      if (c == '(') ++depth;
      if (c == ')' && --depth < 0) Fail("Incorrect syntax near ')'.");
      if (depth == 0 && c == ';') {
        if (has_content) out.push_back(batch.substr(begin, i - begin));
        begin = end;
        has_content = false;
        i = end;
        continue;
      }
    }
    if (kind != TokenKind::kSpace && kind != TokenKind::kComment) has_content = true;
    i = end;
  }
  if (depth != 0) Fail("Incorrect syntax: '(' without a matching ')'.");
  if (has_content) out.push_back(batch.substr(begin));
  return out;
}

std::string QuoteString(const std::string& value) {
  std::string out = "'";
  for (char c : value) {
    out += c;
    if (c == '\'') out += '\'';
  }
  return out + "'";
}

}  // namespace kestal::db::tsql
