// Statements that need more than a rewrite (set, BULK INSERT, DBCC) and the
// helpers the rewriter's parts share. Internal to sql/db/tsql.
#pragma once

#include <string>
#include <vector>

#include "sql/db/tsql/Lexer.h"
#include "sql/db/tsql/Rewriter.h"

namespace kestal::db::tsql {

// Raise _com_error(kNotSupported) naming the construct, or
// _com_error(kStatementError) with message.
[[noreturn]] void NotSupported(const std::string& what);
[[noreturn]] void SyntaxError(const std::string& message);

// The table part of a written name: [db]..[T], db.dbo.T, dbo.T, [T] -> T.
std::string PlainTableName(const std::string& written);

// tokens[first] is the statement's first word (set, bulk, dbcc).
Statement RewriteSet(const std::vector<Token>& tokens, size_t first);
Statement RewriteBulkInsert(const std::vector<Token>& tokens, size_t first);
Statement RewriteDbcc(const std::vector<Token>& tokens, size_t first);

}  // namespace kestal::db::tsql
