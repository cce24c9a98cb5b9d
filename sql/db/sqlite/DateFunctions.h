// T-SQL's date and string functions that SQLite lacks, as SQL functions of
// the connection (registered by Functions.cc):
//   kestal_datepart(unit, d)      DATEPART, YEAR, MONTH, DAY
//   kestal_dateadd(unit, n, d)    DATEADD; the result as datetime text
//   kestal_datediff(unit, a, b)   DATEDIFF: unit boundaries crossed
//   kestal_left(s, n), kestal_right(s, n)
//   kestal_charindex(find, s[, start])  1-based, 0 when absent, ASCII case
//                                       ignored as in a case-insensitive
//                                       collation
// unit is the canonical name the rewriter gives (year, quarter, month,
// dayofyear, day, week, weekday, hour, minute, second, millisecond); weeks
// start on Sunday (DATEFIRST 7). A NULL argument gives NULL; a value that is
// no date, or a result outside datetime's range, is an error.
#pragma once

#include <sqlite3.h>

namespace kestal::db::sqlite {

// Registers the functions above on db; raises _com_error on failure.
void RegisterDateAndStringFunctions(sqlite3* db);

}  // namespace kestal::db::sqlite
