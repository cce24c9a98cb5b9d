// Value conversions of the SQLite engine: column values to text as the
// access layer hands them out, and T-SQL's strict integer conversion.
#pragma once

#include <sqlite3.h>

#include <string>

namespace kestal::db::sqlite {

// A REAL as the shortest text that reads back as the same double ("0.1",
// "2", "1E+20").
std::string RealToText(double value);

// Column i of the current row as text: integers with "%lld", reals as
// RealToText, text as stored, blobs as 0x followed by upper-case hex digits.
// Returns false for NULL.
bool ColumnText(sqlite3_stmt* st, int i, std::string* text);

// A fixed-width character type: char(n) holds n bytes in the host's code
// page, nchar(n) n characters. length 0: not such a type.
struct FixedWidth {
  int length = 0;
  bool national = false;  // nchar: counted in characters
};

// The fixed width a declared column type gives (char(n), character(n),
// nchar(n); char without a length is char(1)); {0} for any other type or
// for null.
FixedWidth FixedWidthOf(const char* declared);

// Appends blanks to text (UTF-8) until it fills width, as SQL Server gives
// back a char(n) value; text already as long or longer stays as it is.
void PadToWidth(const FixedWidth& width, std::string* text);

// T-SQL's conversion of character data to an integer: blanks around the
// number are allowed, an empty (or all-blank) text gives 0, then an optional
// sign and decimal digits only. Returns false for anything else or when the
// value is outside [min, max].
bool ParseTsqlInt(const std::string& text, long long min, long long max, long long* value);

}  // namespace kestal::db::sqlite
