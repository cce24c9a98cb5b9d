// The PostgreSQL dialect of the T-SQL rewriter: how names, casts, date styles
// and IDENT_CURRENT are written for the server.
#pragma once

#include <string>

#include "sql/db/tsql/Dialect.h"

namespace kestal::db::postgres {

const tsql::Dialect& PostgresDialect();

// name as a PostgreSQL identifier that finds what an unquoted T-SQL name
// finds: ASCII letters folded to lower case (as the server folds unquoted
// names), then double-quoted, so that keywords and odd characters are safe.
std::string QuoteName(const std::string& name);

// The table part of a T-SQL table reference as a caller writes it in text:
// "[dbo].[T]", "db..T", "T" all give "T" (brackets and owner removed).
std::string TablePart(const std::string& reference);

// text as a PostgreSQL string literal (standard_conforming_strings: only the
// quote is doubled).
std::string Literal(const std::string& text);

// An expression that turns expr (a timestamp, a date, or text holding either
// 'YYYY-MM-DD hh:mi:ss' or a bare 'hh:mi:ss', which means that time on
// 1900-01-01 as it does on SQL Server; blank text is 1900-01-01 00:00:00)
// into a timestamp.
std::string AsTimestamp(const std::string& expr);

}  // namespace kestal::db::postgres
