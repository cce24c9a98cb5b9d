// Value checks of the bridge, one function per kind of column. Every check
// works on the table code page's bytes; reasons quote the value converted for
// the terminal.
#include "tools/ValueCheck.h"

#include <algorithm>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tools/TerminalText.h"

namespace kestal::tool {
namespace {

constexpr int kMaxWidth = 511;

std::string TrimRight(const std::string& s) {
  const size_t e = s.find_last_not_of(' ');
  return e == std::string::npos ? std::string() : s.substr(0, e + 1);
}

std::string TrimBoth(const std::string& s) {
  const size_t b = s.find_first_not_of(' ');
  if (b == std::string::npos) return std::string();
  return s.substr(b, s.find_last_not_of(' ') - b + 1);
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

std::string Quote(const std::string& value) {
  return "'" + ToTerminal(value) + "'";
}

// "1 digit", "2 digits".
std::string Count(size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

// The first n characters' bytes of GBK text.
size_t BytesOfChars(const std::string& text, size_t n) {
  size_t i = 0;
  for (size_t k = 0; k < n && i < text.size(); ++k) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    i += c >= 0x81 && c <= 0xFE && i + 1 < text.size() ? 2 : 1;
  }
  return i;
}

// Whole numbers: optional sign, digits; within [min, max].
bool ConvertWhole(const std::string& text, long long min, long long max, const char* type,
                  std::string* out, std::string* why) {
  std::string v = text.empty() ? "0" : text;
  size_t i = v[0] == '-' || v[0] == '+' ? 1 : 0;
  bool digits = i < v.size();
  for (size_t k = i; k < v.size(); ++k) digits = digits && IsDigit(v[k]);
  if (!digits) {
    *why = Quote(v) + " is not a whole number";
    return false;
  }
  errno = 0;
  const long long n = strtoll(v.c_str(), nullptr, 10);
  if (errno == ERANGE || n < min || n > max) {
    *why = Quote(v) + " is out of the range of " + type + " (" + std::to_string(min) + " to " +
           std::to_string(max) + ")";
    return false;
  }
  *out = std::to_string(n);
  return true;
}

bool ConvertDecimal(const ColumnType& c, const std::string& text, std::string* out,
                    std::string* why) {
  const std::string v = text.empty() ? "0" : text;
  size_t i = v[0] == '-' || v[0] == '+' ? 1 : 0;
  size_t whole = 0;
  size_t fraction = 0;
  bool point = false;
  bool leading = true;  // zeros before the first other digit do not count
  for (; i < v.size(); ++i) {
    if (v[i] == '.' && !point) {
      point = true;
    } else if (IsDigit(v[i])) {
      if (point) {
        ++fraction;
      } else if (!(leading && v[i] == '0')) {
        leading = false;
        ++whole;
      }
    } else {
      break;
    }
  }
  const bool any_digit = v.find_first_of("0123456789") != std::string::npos;
  if (i != v.size() || !any_digit) {
    *why = Quote(v) + " is not a decimal number";
    return false;
  }
  if (c.prec > 0) {
    const int whole_room = c.prec - c.scale;
    if (static_cast<int>(fraction) > c.scale) {
      *why = Quote(v) + " has " + Count(fraction, "digit", "digits") + " after the point; " +
             DescribeColumn(c) + " keeps " + std::to_string(c.scale);
      return false;
    }
    if (static_cast<int>(whole) > whole_room) {
      *why = Quote(v) + " has " + Count(whole, "digit", "digits") + " before the point; " +
             DescribeColumn(c) + " holds " + std::to_string(whole_room);
      return false;
    }
  }
  *out = v[0] == '+' ? v.substr(1) : v;
  return true;
}

bool ConvertFloat(const ColumnType& c, const std::string& text, std::string* out,
                  std::string* why) {
  const std::string v = text.empty() ? "0" : text;
  char* end = nullptr;
  errno = 0;
  const double d = strtod(v.c_str(), &end);
  const bool number =
      end != v.c_str() && *end == '\0' && v.find_first_of("xXnN") == std::string::npos;
  if (!number || !std::isfinite(d) || errno == ERANGE || (c.code == 59 && std::fabs(d) > FLT_MAX)) {
    *why = Quote(v) + " is not a number " + DescribeColumn(c) + " can hold";
    return false;
  }
  *out = v[0] == '+' ? v.substr(1) : v;
  return true;
}

int DaysIn(int year, int month) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

// n digits of s at *i as a number, or -1.
int Digits(const std::string& s, size_t* i, size_t n) {
  if (*i + n > s.size()) return -1;
  int v = 0;
  for (size_t k = 0; k < n; ++k) {
    if (!IsDigit(s[*i + k])) return -1;
    v = v * 10 + (s[*i + k] - '0');
  }
  *i += n;
  return v;
}

bool ConvertDate(const ColumnType& c, const std::string& text, std::string* out, std::string* why) {
  const bool with_time = c.kind == ColumnKind::kDateTime;
  const std::string v = text.empty() ? "19000101" : text;
  size_t i = 0;
  const int year = Digits(v, &i, 4);
  const bool dashed = i < v.size() && v[i] == '-';
  if (dashed) ++i;
  const int month = Digits(v, &i, 2);
  if (dashed && !(i < v.size() && v[i] == '-')) i = std::string::npos;
  if (dashed && i != std::string::npos) ++i;
  const int day = i == std::string::npos ? -1 : Digits(v, &i, 2);
  int hour = 0, minute = 0, second = 0, ms = 0;
  bool ok = year >= 0 && month >= 1 && month <= 12 && day >= 1 && day <= DaysIn(year, month);
  if (ok && i < v.size()) {
    ok = with_time && (v[i] == ' ' || v[i] == 'T');
    ++i;
    hour = ok ? Digits(v, &i, 2) : -1;
    ok = ok && hour >= 0 && hour < 24 && i < v.size() && v[i++] == ':';
    minute = ok ? Digits(v, &i, 2) : -1;
    ok = ok && minute >= 0 && minute < 60;
    if (ok && i < v.size()) {
      ok = v[i++] == ':';
      second = ok ? Digits(v, &i, 2) : -1;
      ok = ok && second >= 0 && second < 60;
      if (ok && i < v.size()) {
        ok = v[i++] == '.';
        size_t got = 0;
        int scale = 100;
        while (ok && i < v.size() && IsDigit(v[i]) && got < 3) {
          ms += (v[i++] - '0') * scale;
          scale /= 10;
          ++got;
        }
        ok = ok && got > 0 && i == v.size();
      }
    }
  }
  if (!ok) {
    *why = Quote(v) + " is not a date" + (with_time ? " and time" : "") +
           " (YYYYMMDD or YYYY-MM-DD" + (with_time ? ", then HH:MM:SS" : "") + ")";
    return false;
  }
  // Years each type holds: datetime 1753-9999, smalldatetime 1900-2079,
  // date and datetime2 1-9999.
  const int first = c.code == 61 ? 1753 : c.code == 58 ? 1900 : 1;
  const int last = c.code == 58 ? 2079 : 9999;
  if (year < first || year > last ||
      (c.code == 58 && year == 2079 && (month > 6 || (month == 6 && day > 6)))) {
    *why = Quote(v) + " is outside the years " + DescribeColumn(c) + " holds (" +
           std::to_string(first) + " to " + std::to_string(last) + ")";
    return false;
  }
  char buf[40];
  if (with_time) {
    snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d", year, month, day, hour, minute,
             second, ms);
  } else {
    snprintf(buf, sizeof buf, "%04d-%02d-%02d", year, month, day);
  }
  *out = buf;
  return true;
}

bool ConvertCharacters(const ColumnType& c, const std::string& value, bool numeric_field,
                       const ValueRules& rules, std::string* out, std::string* why) {
  const std::string trimmed = numeric_field ? TrimBoth(value) : TrimRight(value);
  const size_t chars = GbkLength(trimmed);
  if (c.kind != ColumnKind::kText && c.prec > 0 && chars > static_cast<size_t>(c.prec)) {
    *why = Quote(trimmed) + " has " + Count(chars, "character", "characters") + "; " +
           DescribeColumn(c) + " holds " + std::to_string(c.prec);
    return false;
  }
  if (c.kind == ColumnKind::kChar) {
    // As the column stores it: padded to its length.
    *out = trimmed + std::string(static_cast<size_t>(std::max(c.prec, 1)) -
                                     std::min<size_t>(chars, std::max(c.prec, 1)),
                                 ' ');
    return true;
  }
  if (!rules.keep_padding || numeric_field) {
    *out = trimmed;
    return true;
  }
  // The padding is kept as far as the column holds it: only blanks past the
  // column's length are left out.
  *out = c.kind == ColumnKind::kVarchar && c.prec > 0
             ? value.substr(0, BytesOfChars(value, static_cast<size_t>(c.prec)))
             : value;
  return true;
}

}  // namespace

size_t GbkLength(const std::string& text) {
  size_t chars = 0;
  for (size_t i = 0; i < text.size(); ++chars) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    i += c >= 0x81 && c <= 0xFE && i + 1 < text.size() ? 2 : 1;
  }
  return chars;
}

bool ConvertValue(const ColumnType& column, const std::string& value, bool numeric_field,
                  const ValueRules& rules, std::string* out, std::string* why) {
  switch (column.kind) {
    case ColumnKind::kInt:
      return ConvertWhole(TrimBoth(value), INT32_MIN, INT32_MAX, "int", out, why);
    case ColumnKind::kWhole:
      switch (column.code) {
        case 127:
          return ConvertWhole(TrimBoth(value), INT64_MIN, INT64_MAX, "bigint", out, why);
        case 52:
          return ConvertWhole(TrimBoth(value), INT16_MIN, INT16_MAX, "smallint", out, why);
        case 48:
          return ConvertWhole(TrimBoth(value), 0, 255, "tinyint", out, why);
        default: {
          // A logical field (T, F, Y, N) goes into a bit column as 1 or 0.
          const std::string v = TrimBoth(value);
          if (v.size() == 1 && strchr("TtYy", v[0]) != nullptr) {
            *out = "1";
            return true;
          }
          if (v.size() == 1 && strchr("FfNn", v[0]) != nullptr) {
            *out = "0";
            return true;
          }
          return ConvertWhole(v, 0, 1, "bit", out, why);
        }
      }
    case ColumnKind::kChar:
    case ColumnKind::kVarchar:
    case ColumnKind::kText:
      return ConvertCharacters(column, value, numeric_field, rules, out, why);
    case ColumnKind::kDecimal:
      return ConvertDecimal(column, TrimBoth(value), out, why);
    case ColumnKind::kFloat:
      return ConvertFloat(column, TrimBoth(value), out, why);
    case ColumnKind::kDate:
    case ColumnKind::kDateTime:
      return ConvertDate(column, TrimBoth(value), out, why);
    case ColumnKind::kOmitted:
      out->clear();
      return true;
    case ColumnKind::kOther:
      break;
  }
  *out = TrimBoth(value);
  return true;
}

int ConvertedWidth(const ColumnType& column, int field_length) {
  int width = std::max(column.length, 1);
  switch (column.kind) {
    case ColumnKind::kInt:
    case ColumnKind::kWhole:
      width = std::max(width, 20);
      break;
    case ColumnKind::kChar:
      width = std::max({width, field_length, 2 * column.prec});
      break;
    case ColumnKind::kDate:
    case ColumnKind::kDateTime:
      width = std::max(width, 23);
      break;
    case ColumnKind::kDecimal:
      width = std::max({width, field_length, column.prec + 3});
      break;
    default:
      width = std::max(width, field_length);
      break;
  }
  return std::min(width, kMaxWidth);
}

}  // namespace kestal::tool
