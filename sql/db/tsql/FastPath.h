// The cheap path for the statement the library sends most: a plain
// INSERT INTO T (c, ...) VALUES (literal, ...) as the record batches write
// it. Internal to sql/db/tsql.
#pragma once

#include <string>

namespace kestal::db::tsql {

// True when statement is, in full,
//   INSERT INTO name [(name, ...)] VALUES (value, ...) [, (value, ...)]...
// with plain ASCII names (no dots, brackets, quotes, variables, hint or
// special words), values that are each one number (optionally signed), one
// '...' literal (not N'...') or NULL, and nothing else but blanks: no
// comments, no operators, no calls. For such a statement the general rewrite
// gives the text back as written, apart from a literal collation, which
// governs comparisons only and so cannot change a value that is merely
// stored. The caller may then send the text unchanged. False whenever in
// doubt; never raises.
bool IsPlainInsert(const std::string& statement);

// The table name of a statement for which IsPlainInsert is true.
std::string PlainInsertTable(const std::string& statement);

// For a statement for which IsPlainInsert is true: sets *rows_at to the
// offset just past its VALUES keyword and *rows to the number of its value
// lists. False (nothing set) when the statement is not a plain insert.
bool PlainInsertRows(const std::string& statement, size_t* rows_at, long long* rows);

}  // namespace kestal::db::tsql
