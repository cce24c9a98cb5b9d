#include "sql/db/sqlite/DateTime.h"

#include <cmath>
#include <cstdio>

namespace kestal::db::sqlite {
namespace {

constexpr long long kMsPerDay = 86400000;

// True for an ASCII digit.
bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// Reads 1 to max_digits digits at *i into *value; false when none.
bool Digits(const std::string& s, size_t* i, int max_digits, int* value) {
  int n = 0;
  int v = 0;
  while (*i < s.size() && IsDigit(s[*i]) && n < max_digits) {
    v = v * 10 + (s[*i] - '0');
    ++*i;
    ++n;
  }
  *value = v;
  return n > 0;
}

// True for a leap year.
bool Leap(int y) {
  return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

// Reads a time of day at *i: H[H]:MM[:SS[(.|:)fff]] [AM|PM]; stores the
// millisecond of the day in *ms_of_day.
bool Time(const std::string& s, size_t* i, long long* ms_of_day) {
  int h = 0, mi = 0, sec = 0, ms = 0;
  if (!Digits(s, i, 2, &h) || *i >= s.size() || s[*i] != ':') return false;
  ++*i;
  size_t start = *i;
  if (!Digits(s, i, 2, &mi) || *i - start != 2) return false;
  if (*i < s.size() && s[*i] == ':') {
    ++*i;
    start = *i;
    if (!Digits(s, i, 2, &sec) || *i - start != 2) return false;
    if (*i < s.size() && (s[*i] == '.' || s[*i] == ':')) {
      ++*i;
      start = *i;
      int frac = 0;
      if (!Digits(s, i, 3, &frac)) return false;
      const size_t n = *i - start;
      ms = n == 1 ? frac * 100 : n == 2 ? frac * 10 : frac;
      while (*i < s.size() && IsDigit(s[*i])) ++*i;  // finer digits dropped
    }
  }
  size_t k = *i;
  while (k < s.size() && s[k] == ' ') ++k;
  if (k + 1 < s.size() && (s[k + 1] == 'M' || s[k + 1] == 'm') &&
      (s[k] == 'A' || s[k] == 'a' || s[k] == 'P' || s[k] == 'p')) {
    if (h < 1 || h > 12) return false;
    const bool pm = s[k] == 'P' || s[k] == 'p';
    h = (h % 12) + (pm ? 12 : 0);
    *i = k + 2;
  }
  if (h > 23 || mi > 59 || sec > 59) return false;
  *ms_of_day = ((h * 60LL + mi) * 60 + sec) * 1000 + ms;
  return true;
}

}  // namespace

int DaysInMonth(int year, int month) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && Leap(year) ? 29 : kDays[month - 1];
}

long long DaysFromCivil(long long y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468;
}

void CivilFromDays(long long z, int* y, int* m, int* d) {
  z += 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  *m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  *y = static_cast<int>(static_cast<long long>(yoe) + era * 400 + (*m <= 2));
}

bool InDateTimeRange(const Moment& m) {
  return m.day >= DaysFromCivil(1753, 1, 1) && m.day <= DaysFromCivil(9999, 12, 31) && m.ms >= 0 &&
         m.ms < kMsPerDay;
}

std::string FormatMoment(const Moment& m) {
  int y, mo, d;
  CivilFromDays(m.day, &y, &mo, &d);
  const long long secs = m.ms / 1000;
  // Room for any value in every field, so no output can be cut.
  char buf[96];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02lld:%02lld:%02lld.%03lld", y, mo, d,
                secs / 3600, secs / 60 % 60, secs % 60, m.ms % 1000);
  return buf;
}

bool ParseMoment(const std::string& text, Moment* out) {
  size_t b = 0;
  size_t e = text.size();
  while (b < e && (text[b] == ' ' || text[b] == '\t')) ++b;
  while (e > b && (text[e - 1] == ' ' || text[e - 1] == '\t')) --e;
  const std::string s = text.substr(b, e - b);
  int y = 1900, mo = 1, d = 1;
  long long ms = 0;
  size_t i = 0;
  if (!s.empty()) {
    bool has_date = false;
    // A date: YYYY-MM-DD (also / or .), or YYYYMMDD.
    size_t digits = 0;
    while (digits < s.size() && IsDigit(s[digits])) ++digits;
    if (digits == 4 && s.size() > 4 && (s[4] == '-' || s[4] == '/' || s[4] == '.')) {
      const char sep = s[4];
      Digits(s, &i, 4, &y);
      ++i;
      if (!Digits(s, &i, 2, &mo) || i >= s.size() || s[i] != sep) return false;
      ++i;
      if (!Digits(s, &i, 2, &d)) return false;
      has_date = true;
    } else if (digits == 8) {
      Digits(s, &i, 4, &y);
      Digits(s, &i, 2, &mo);
      Digits(s, &i, 2, &d);
      has_date = true;
    }
    if (has_date) {
      if (y < 1753 || mo < 1 || mo > 12 || d < 1 || d > DaysInMonth(y, mo)) return false;
      if (i < s.size()) {
        if (s[i] != ' ' && s[i] != 'T') return false;
        while (i < s.size() && (s[i] == ' ' || s[i] == 'T')) ++i;
        if (!Time(s, &i, &ms)) return false;
      }
    } else if (!Time(s, &i, &ms)) {
      return false;
    }
    if (i != s.size()) return false;
  }
  out->day = DaysFromCivil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d));
  out->ms = ms;
  return true;
}

bool MomentFromDays(double days, Moment* out) {
  if (!std::isfinite(days) || std::fabs(days) > 1e7) return false;
  const double whole = std::floor(days);
  Moment m;
  m.ms = std::llround((days - whole) * static_cast<double>(kMsPerDay));
  m.day = DaysFromCivil(1900, 1, 1) + static_cast<long long>(whole);
  if (m.ms >= kMsPerDay) {
    m.ms -= kMsPerDay;
    ++m.day;
  }
  if (!InDateTimeRange(m)) return false;
  *out = m;
  return true;
}

bool ParseTsqlDateTime(const std::string& text, std::string* out) {
  Moment m;
  if (!ParseMoment(text, &m)) return false;
  *out = FormatMoment(m);
  return true;
}

bool DaysToTsqlDateTime(double days, std::string* out) {
  Moment m;
  if (!MomentFromDays(days, &m)) return false;
  *out = FormatMoment(m);
  return true;
}

}  // namespace kestal::db::sqlite
