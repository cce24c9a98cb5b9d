// The bytes and names of plain statement text, shared by the readers that
// take plain statements without the full lexer (FastPath, InsertBatch). What
// must hold: a byte class here agrees with how the lexer splits words, so a
// reader that accepts a name or a number never stops inside a longer token.
#ifndef KESTAL_SQL_DB_TSQL_PLAINTEXT_H_
#define KESTAL_SQL_DB_TSQL_PLAINTEXT_H_

#include <strings.h>

#include <cstddef>
#include <string_view>

namespace kestal::db::tsql::plain {

// An ASCII digit.
inline bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}
// A byte that may open a plain name.
inline bool IsNameStart(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}
// A byte that may continue a plain name.
inline bool IsNameByte(char c) {
  return IsNameStart(c) || IsDigit(c);
}
// True for a byte that the lexer would take as part of a word: then the word
// before it is longer than it looks to a plain reader.
inline bool ContinuesWord(char c) {
  return IsNameByte(c) || c == '$' || c == '@' || c == '#' || static_cast<unsigned char>(c) >= 0x80;
}

// Names that the general rewrite treats specially even as a plain column or
// table name: table hints (a group of them after a name is dropped), the
// INDEX hint, and CURRENT_TIMESTAMP (replaced by the engine's clock).
inline constexpr std::string_view kSpecialNames[] = {
    "holdlock",      "updlock",           "xlock",  "tablock",  "tablockx",  "serializable",
    "paglock",       "repeatableread",    "nolock", "rowlock",  "readpast",  "readuncommitted",
    "readcommitted", "readcommittedlock", "nowait", "noexpand", "forceseek", "forcescan",
    "index",         "current_timestamp"};

// True when the len bytes at name are one of kSpecialNames, in any case.
inline bool IsSpecialName(const char* name, size_t len) {
  for (const std::string_view w : kSpecialNames) {
    if (w.size() == len && strncasecmp(name, w.data(), len) == 0) return true;
  }
  return false;
}

}  // namespace kestal::db::tsql::plain

#endif  // KESTAL_SQL_DB_TSQL_PLAINTEXT_H_
