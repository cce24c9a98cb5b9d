// Token-level view of T-SQL text. The lexer knows string literals ('...' with
// '' inside, N'...'), bracketed and double-quoted names ([a]]b], "a""b"),
// comments (-- and nested /* */) and the two-character operators, so that
// everything built on it never mistakes a ';' or a keyword inside a literal
// for syntax.
#pragma once

#include <string>
#include <vector>

namespace kestal::db::tsql {

enum class TokenKind {
  kSpace,       // blanks and line ends
  kComment,     // -- ... or /* ... */
  kWord,        // identifier or keyword (also @var, #temp, non-ASCII names)
  kNumber,      // 12, 1.5, 2e3, 0x1F
  kString,      // '...' or N'...'; value holds the content without quotes
  kQuotedName,  // [...] or "..."; value holds the name without quotes
  kPunct,       // operators and ( ) , ; .
};

struct Token {
  TokenKind kind;
  std::string text;   // the bytes as written
  std::string value;  // kString / kQuotedName: the unescaped content
  size_t offset = 0;  // position in the statement text
};

// Splits text into tokens; the texts of all tokens concatenated give text
// back. Raises _com_error(kStatementError) for an unclosed quotation mark,
// bracket or comment.
std::vector<Token> Lex(const std::string& text);

// True when t is a word equal to keyword without regard to (ASCII) case.
bool IsWord(const Token& t, const char* keyword);
// True when t is punctuation with exactly this text.
bool IsPunct(const Token& t, const char* text);
// Spaces and comments carry no syntax.
inline bool IsBlank(const Token& t) {
  return t.kind == TokenKind::kSpace || t.kind == TokenKind::kComment;
}

// Splits a batch into its statements at ';' outside parentheses, quotes and
// comments. Statements holding only blanks are dropped. Raises like Lex, and
// for unbalanced parentheses.
std::vector<std::string> SplitBatch(const std::string& batch);

// The text quoted as a T-SQL string literal ('' for each ').
std::string QuoteString(const std::string& value);

}  // namespace kestal::db::tsql
