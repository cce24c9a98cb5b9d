// SQL functions this engine adds to every connection, so that rewritten
// T-SQL keeps its meaning:
//   kestal_int(x, bits)         T-SQL's strict cast to tinyint (8), smallint
//                               (16), int (32), bigint (64) or bit (1); bad
//                               input or overflow is an error, not 0
//   kestal_number(x, float)     T-SQL's strict conversion of text to decimal
//                               (0) or float (1), for a character column
//                               compared with such a number
//   kestal_add(a, b), kestal_sub(a, b)
//                               T-SQL's + and -: text + text concatenates;
//                               text with a number becomes that number's type
//                               (an error when it is no number); numbers add
//                               and subtract, an overflow is an error
//   kestal_chain(a, '+', b, '-', c, ...)
//                               a + b - c ... with the steps of kestal_add and
//                               kestal_sub, as one flat call
//   kestal_datetime(x)          T-SQL's cast to datetime, as sortable text
//                               "YYYY-MM-DD HH:MM:SS.fff" (DateTime.h)
//   kestal_ident_current(t)     IDENT_CURRENT('t'): the table's sqlite_sequence
//                               value, NULL when it has none
//   kestal_type_code(decl)      syscolumns.type for a declared type
//   kestal_type_length(decl)    syscolumns.length for a declared type
// and the collation TSQL, which the rewriter puts after string literals:
// trailing blanks are ignored and ASCII letters compare without case, as in
// SQL Server's usual case-insensitive collations.
#pragma once

#include <sqlite3.h>

namespace kestal::db::sqlite {

// Registers the functions on db; raises _com_error on failure.
void RegisterFunctions(sqlite3* db);

}  // namespace kestal::db::sqlite
