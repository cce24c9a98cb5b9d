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
// just after the closing quote and stores the content in value.
size_t ReadQuoted(const std::string& text, size_t pos, char close, std::string* value,
                  const char* what) {
  size_t i = pos + 1;
  while (i < text.size()) {
    if (text[i] == close) {
      if (i + 1 < text.size() && text[i + 1] == close) {
        *value += close;
        i += 2;
        continue;
      }
      return i + 1;
    }
    *value += text[i++];
  }
  Fail(std::string("Unclosed ") + what + " before the end of the statement: " + Excerpt(text, pos));
}

}  // namespace

std::vector<Token> Lex(const std::string& text) {
  std::vector<Token> out;
  size_t i = 0;
  const size_t n = text.size();
  while (i < n) {
    const size_t start = i;
    const unsigned char c = static_cast<unsigned char>(text[i]);
    Token t{TokenKind::kPunct, std::string(), std::string(), start};
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v') {
      while (i < n && (text[i] == ' ' || text[i] == '\t' || text[i] == '\r' || text[i] == '\n' ||
                       text[i] == '\f' || text[i] == '\v')) {
        ++i;
      }
      t.kind = TokenKind::kSpace;
    } else if (c == '-' && i + 1 < n && text[i + 1] == '-') {
      while (i < n && text[i] != '\n') ++i;
      t.kind = TokenKind::kComment;
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
      t.kind = TokenKind::kComment;
    } else if (c == '\'') {
      i = ReadQuoted(text, i, '\'', &t.value, "quotation mark");
      t.kind = TokenKind::kString;
    } else if ((c == 'N' || c == 'n') && i + 1 < n && text[i + 1] == '\'') {
      i = ReadQuoted(text, i + 1, '\'', &t.value, "quotation mark");
      t.kind = TokenKind::kString;
    } else if (c == '[') {
      i = ReadQuoted(text, i, ']', &t.value, "bracket");
      t.kind = TokenKind::kQuotedName;
    } else if (c == '"') {
      i = ReadQuoted(text, i, '"', &t.value, "quoted name");
      t.kind = TokenKind::kQuotedName;
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
      t.kind = TokenKind::kNumber;
    } else if (IsWordStart(c)) {
      while (i < n && IsWordChar(static_cast<unsigned char>(text[i]))) ++i;
      t.kind = TokenKind::kWord;
    } else {
      static const char* const kTwo[] = {"!=", "<>", ">=", "<=", "!<", "!>", "||", "::"};
      i += 1;
      for (const char* op : kTwo) {
        if (c == static_cast<unsigned char>(op[0]) && start + 1 < n && text[start + 1] == op[1]) {
          i = start + 2;
          break;
        }
      }
      t.kind = TokenKind::kPunct;
    }
    t.text = text.substr(start, i - start);
    out.push_back(std::move(t));
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
  std::vector<Token> tokens = Lex(batch);
  std::vector<std::string> out;
  std::string current;
  bool has_content = false;
  int depth = 0;
  for (const Token& t : tokens) {
    if (IsPunct(t, "(")) ++depth;
    if (IsPunct(t, ")") && --depth < 0) Fail("Incorrect syntax near ')'.");
    if (depth == 0 && IsPunct(t, ";")) {
      if (has_content) out.push_back(current);
      current.clear();
      has_content = false;
      continue;
    }
    if (!IsBlank(t)) has_content = true;
    current += t.text;
  }
  if (depth != 0) Fail("Incorrect syntax: '(' without a matching ')'.");
  if (has_content) out.push_back(current);
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
