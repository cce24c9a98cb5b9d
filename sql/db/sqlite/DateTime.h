// T-SQL's conversion of a value to datetime, for SQLite, which has no date
// type of its own: the result is text "YYYY-MM-DD HH:MM:SS.fff" that sorts and
// compares in time order and that SQLite's date functions read.
#pragma once

#include <string>

namespace kestal::db::sqlite {

// Converts character data as SQL Server's cast(... as datetime) does:
// "2026-12-07 09:30:15", "2026-12-07T09:30:15.5", "2026/12/07", "20261207",
// "20261207 9:30", a time alone ("9:30:15", on 1900-01-01), an optional
// AM/PM, blanks around; "" gives 1900-01-01 00:00:00.000. Returns false for
// anything else or an impossible date or time.
bool ParseTsqlDateTime(const std::string& text, std::string* out);

// A number as datetime: days (and fractions of a day) after 1900-01-01.
// Returns false outside the years 1753 to 9999.
bool DaysToTsqlDateTime(double days, std::string* out);

// A point in time: a day number (days after 1970-01-01) and the millisecond
// of that day (0 to 86,399,999).
struct Moment {
  long long day = 0;
  long long ms = 0;
};

// The same conversions, to a Moment.
bool ParseMoment(const std::string& text, Moment* out);
bool MomentFromDays(double days, Moment* out);
// "YYYY-MM-DD HH:MM:SS.fff".
std::string FormatMoment(const Moment& m);
// True within the years 1753 to 9999, datetime's range.
bool InDateTimeRange(const Moment& m);

// Day number of a date, and the date of a day number (proleptic Gregorian).
long long DaysFromCivil(long long year, unsigned month, unsigned day);
void CivilFromDays(long long days, int* year, int* month, int* day);
int DaysInMonth(int year, int month);

}  // namespace kestal::db::sqlite
