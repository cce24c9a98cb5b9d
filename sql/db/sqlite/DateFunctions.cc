#include "sql/db/sqlite/DateFunctions.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include "sql/db/sqlite/DateTime.h"
#include "sql/db/sqlite/Errors.h"
#include "sql/db/sqlite/Values.h"

namespace kestal::db::sqlite {
namespace {

constexpr long long kMsPerDay = 86400000;
constexpr long long kFirstSunday = 3;  // 1970-01-04, a Sunday

// Floor division and remainder for possibly negative a.
long long FloorDiv(long long a, long long b) {
  return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}
long long FloorMod(long long a, long long b) {
  return a - FloorDiv(a, b) * b;
}

// The value of argument v as a Moment. Returns false (and sets the error)
// when it is no date; *is_null is set for NULL.
bool ArgMoment(sqlite3_context* ctx, sqlite3_value* v, Moment* m, bool* is_null) {
  *is_null = sqlite3_value_type(v) == SQLITE_NULL;
  if (*is_null) return true;
  bool ok;
  if (sqlite3_value_type(v) == SQLITE_INTEGER || sqlite3_value_type(v) == SQLITE_FLOAT) {
    ok = MomentFromDays(sqlite3_value_double(v), m);
  } else {
    const unsigned char* t = sqlite3_value_text(v);
    ok = ParseMoment(t ? reinterpret_cast<const char*>(t) : "", m);
  }
  if (!ok) {
    sqlite3_result_error(
        ctx, "Conversion failed when converting date and/or time from character string.", -1);
  }
  return ok;
}

// The value of argument v as a whole number, as T-SQL converts it to int.
bool ArgNumber(sqlite3_context* ctx, sqlite3_value* v, long long* n) {
  switch (sqlite3_value_type(v)) {
    case SQLITE_INTEGER:
      *n = sqlite3_value_int64(v);
      return true;
    case SQLITE_FLOAT:
      *n = static_cast<long long>(std::trunc(sqlite3_value_double(v)));
      return true;
    default: {
      const unsigned char* t = sqlite3_value_text(v);
      if (ParseTsqlInt(t ? reinterpret_cast<const char*>(t) : "", -2147483648LL, 2147483647LL, n)) {
        return true;
      }
      sqlite3_result_error(ctx, "Conversion failed when converting a value to data type int.", -1);
      return false;
    }
  }
}

std::string Unit(sqlite3_value* v) {
  const unsigned char* t = sqlite3_value_text(v);
  return t ? reinterpret_cast<const char*>(t) : "";
}

// Sundays passed since the first Sunday of day numbers: weeks run Sunday to
// Saturday.
long long WeekIndex(long long day) {
  return FloorDiv(day - kFirstSunday, 7);
}

// The datepart of m for unit, or false for an unknown unit.
bool Part(const std::string& unit, const Moment& m, long long* out) {
  int y, mo, d;
  CivilFromDays(m.day, &y, &mo, &d);
  if (unit == "year") {
    *out = y;
  } else if (unit == "quarter") {
    *out = (mo - 1) / 3 + 1;
  } else if (unit == "month") {
    *out = mo;
  } else if (unit == "dayofyear") {
    *out = m.day - DaysFromCivil(y, 1, 1) + 1;
  } else if (unit == "day") {
    *out = d;
  } else if (unit == "week") {
    *out = WeekIndex(m.day) - WeekIndex(DaysFromCivil(y, 1, 1)) + 1;
  } else if (unit == "weekday") {
    *out = FloorMod(m.day - kFirstSunday, 7) + 1;
  } else if (unit == "hour") {
    *out = m.ms / 3600000;
  } else if (unit == "minute") {
    *out = m.ms / 60000 % 60;
  } else if (unit == "second") {
    *out = m.ms / 1000 % 60;
  } else if (unit == "millisecond") {
    *out = m.ms % 1000;
  } else {
    return false;
  }
  return true;
}

// Milliseconds of one unit of a fixed length, or 0.
long long FixedUnitMs(const std::string& unit) {
  if (unit == "day" || unit == "dayofyear" || unit == "weekday") return kMsPerDay;
  if (unit == "week") return 7 * kMsPerDay;
  if (unit == "hour") return 3600000;
  if (unit == "minute") return 60000;
  if (unit == "second") return 1000;
  if (unit == "millisecond") return 1;
  return 0;
}

// Months of one unit of a calendar length, or 0.
int MonthUnits(const std::string& unit) {
  if (unit == "year") return 12;
  if (unit == "quarter") return 3;
  if (unit == "month") return 1;
  return 0;
}

void DatePart(sqlite3_context* ctx, int, sqlite3_value** argv) {
  Moment m;
  bool is_null;
  if (!ArgMoment(ctx, argv[1], &m, &is_null)) return;
  if (is_null) return sqlite3_result_null(ctx);
  long long v;
  if (!Part(Unit(argv[0]), m, &v)) return sqlite3_result_error(ctx, "unknown date part", -1);
  sqlite3_result_int64(ctx, v);
}

void DateAdd(sqlite3_context* ctx, int, sqlite3_value** argv) {
  const std::string unit = Unit(argv[0]);
  if (sqlite3_value_type(argv[1]) == SQLITE_NULL) return sqlite3_result_null(ctx);
  long long n;
  if (!ArgNumber(ctx, argv[1], &n)) return;
  Moment m;
  bool is_null;
  if (!ArgMoment(ctx, argv[2], &m, &is_null)) return;
  if (is_null) return sqlite3_result_null(ctx);
  Moment r = m;
  if (const int months = MonthUnits(unit)) {
    int y, mo, d;
    CivilFromDays(m.day, &y, &mo, &d);
    const long long total = y * 12LL + (mo - 1) + n * months;
    const long long ny = FloorDiv(total, 12);
    const int nm = static_cast<int>(FloorMod(total, 12)) + 1;
    if (ny < 1753 || ny > 9999) {
      return sqlite3_result_error(ctx, "Adding a value to a 'datetime' column caused an overflow.",
                                  -1);
    }
    const int nd = std::min(d, DaysInMonth(static_cast<int>(ny), nm));
    r.day = DaysFromCivil(ny, static_cast<unsigned>(nm), static_cast<unsigned>(nd));
  } else if (const long long unit_ms = FixedUnitMs(unit)) {
    const long long total = m.day * kMsPerDay + m.ms + n * unit_ms;
    r.day = FloorDiv(total, kMsPerDay);
    r.ms = FloorMod(total, kMsPerDay);
  } else {
    return sqlite3_result_error(ctx, "unknown date part", -1);
  }
  if (!InDateTimeRange(r)) {
    return sqlite3_result_error(ctx, "Adding a value to a 'datetime' column caused an overflow.",
                                -1);
  }
  const std::string text = FormatMoment(r);
  sqlite3_result_text(ctx, text.c_str(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

void DateDiff(sqlite3_context* ctx, int, sqlite3_value** argv) {
  const std::string unit = Unit(argv[0]);
  Moment a, b;
  bool a_null, b_null;
  if (!ArgMoment(ctx, argv[1], &a, &a_null) || !ArgMoment(ctx, argv[2], &b, &b_null)) return;
  if (a_null || b_null) return sqlite3_result_null(ctx);
  long long diff;
  if (const int months = MonthUnits(unit)) {
    int ya, ma, da, yb, mb, db;
    CivilFromDays(a.day, &ya, &ma, &da);
    CivilFromDays(b.day, &yb, &mb, &db);
    const long long ia = ya * 12LL + (ma - 1);
    const long long ib = yb * 12LL + (mb - 1);
    diff = FloorDiv(ib, months) - FloorDiv(ia, months);
  } else if (unit == "week") {
    diff = WeekIndex(b.day) - WeekIndex(a.day);
  } else if (const long long unit_ms = FixedUnitMs(unit)) {
    diff =
        FloorDiv(b.day * kMsPerDay + b.ms, unit_ms) - FloorDiv(a.day * kMsPerDay + a.ms, unit_ms);
  } else {
    return sqlite3_result_error(ctx, "unknown date part", -1);
  }
  if (diff < -2147483648LL || diff > 2147483647LL) {
    return sqlite3_result_error(ctx, "The datediff function resulted in an overflow.", -1);
  }
  sqlite3_result_int64(ctx, diff);
}

// Byte length of the first n UTF-8 characters of s (all of s when shorter).
size_t PrefixBytes(const std::string& s, long long n) {
  size_t i = 0;
  while (i < s.size() && n > 0) {
    ++i;
    while (i < s.size() && (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80) ++i;
    --n;
  }
  return i;
}

long long CharCount(const std::string& s) {
  long long n = 0;
  for (unsigned char c : s) n += (c & 0xC0) != 0x80;
  return n;
}

// left and right share argument handling; right when from_end.
void LeftRight(sqlite3_context* ctx, sqlite3_value** argv, bool from_end) {
  if (sqlite3_value_type(argv[0]) == SQLITE_NULL || sqlite3_value_type(argv[1]) == SQLITE_NULL) {
    return sqlite3_result_null(ctx);
  }
  long long n;
  if (!ArgNumber(ctx, argv[1], &n)) return;
  if (n < 0) {
    return sqlite3_result_error(ctx,
                                from_end ? "Invalid length parameter passed to the right function."
                                         : "Invalid length parameter passed to the left function.",
                                -1);
  }
  const unsigned char* t = sqlite3_value_text(argv[0]);
  const std::string s = t ? reinterpret_cast<const char*>(t) : "";
  std::string out;
  if (from_end) {
    const long long skip = CharCount(s) - n;
    out = skip > 0 ? s.substr(PrefixBytes(s, skip)) : s;
  } else {
    out = s.substr(0, PrefixBytes(s, n));
  }
  sqlite3_result_text(ctx, out.c_str(), static_cast<int>(out.size()), SQLITE_TRANSIENT);
}

void Left(sqlite3_context* ctx, int, sqlite3_value** argv) {
  LeftRight(ctx, argv, false);
}
void Right(sqlite3_context* ctx, int, sqlite3_value** argv) {
  LeftRight(ctx, argv, true);
}

char Fold(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

void CharIndex(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
  if (sqlite3_value_type(argv[0]) == SQLITE_NULL || sqlite3_value_type(argv[1]) == SQLITE_NULL) {
    return sqlite3_result_null(ctx);
  }
  long long start = 1;
  if (argc > 2) {
    if (sqlite3_value_type(argv[2]) == SQLITE_NULL) return sqlite3_result_null(ctx);
    if (!ArgNumber(ctx, argv[2], &start)) return;
    if (start < 1) start = 1;
  }
  const std::string find = reinterpret_cast<const char*>(sqlite3_value_text(argv[0]));
  const std::string s = reinterpret_cast<const char*>(sqlite3_value_text(argv[1]));
  if (find.empty()) return sqlite3_result_int(ctx, 0);
  long long position = start;
  for (size_t i = PrefixBytes(s, start - 1); i < s.size();) {
    if (i + find.size() <= s.size()) {
      bool same = true;
      for (size_t k = 0; k < find.size() && same; ++k) same = Fold(s[i + k]) == Fold(find[k]);
      if (same) return sqlite3_result_int64(ctx, position);
    }
    ++i;
    while (i < s.size() && (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80) ++i;
    ++position;
  }
  sqlite3_result_int(ctx, 0);
}

void Register(sqlite3* db, const char* name, int args,
              void (*fn)(sqlite3_context*, int, sqlite3_value**)) {
  const int rc = sqlite3_create_function_v2(db, name, args, SQLITE_UTF8 | SQLITE_DETERMINISTIC,
                                            nullptr, fn, nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) Raise(db, rc, std::string("registering ") + name);
}

}  // namespace

void RegisterDateAndStringFunctions(sqlite3* db) {
  Register(db, "kestal_datepart", 2, DatePart);
  Register(db, "kestal_dateadd", 3, DateAdd);
  Register(db, "kestal_datediff", 3, DateDiff);
  Register(db, "kestal_left", 2, Left);
  Register(db, "kestal_right", 2, Right);
  Register(db, "kestal_charindex", 2, CharIndex);
  Register(db, "kestal_charindex", 3, CharIndex);
}

}  // namespace kestal::db::sqlite
