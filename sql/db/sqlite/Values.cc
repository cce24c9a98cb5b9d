#include "sql/db/sqlite/Values.h"

#include <charconv>
#include <cstdio>

namespace kestal::db::sqlite {

std::string RealToText(double value) {
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, value);
  std::string text(buf, r.ptr);
  // Exponents as an automation VARIANT writes them: 1E+20.
  for (char& c : text) {
    if (c == 'e') c = 'E';
  }
  return text;
}

bool ColumnText(sqlite3_stmt* st, int i, std::string* text) {
  switch (sqlite3_column_type(st, i)) {
    case SQLITE_NULL:
      return false;
    case SQLITE_INTEGER: {
      // The text of "%lld", without printf's cost on every cell.
      char buf[32];
      auto r =
          std::to_chars(buf, buf + sizeof buf, static_cast<long long>(sqlite3_column_int64(st, i)));
      text->assign(buf, r.ptr);
      return true;
    }
    case SQLITE_FLOAT:
      *text = RealToText(sqlite3_column_double(st, i));
      return true;
    case SQLITE_BLOB: {
      const auto* p = static_cast<const unsigned char*>(sqlite3_column_blob(st, i));
      const int n = sqlite3_column_bytes(st, i);
      static const char kHex[] = "0123456789ABCDEF";
      text->assign("0x");
      for (int k = 0; k < n; ++k) {
        *text += kHex[p[k] >> 4];
        *text += kHex[p[k] & 15];
      }
      return true;
    }
    default: {
      const unsigned char* t = sqlite3_column_text(st, i);
      text->assign(reinterpret_cast<const char*>(t),
                   static_cast<size_t>(sqlite3_column_bytes(st, i)));
      return true;
    }
  }
}

bool ParseTsqlInt(const std::string& text, long long min, long long max, long long* value) {
  size_t b = 0;
  size_t e = text.size();
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (b < e && blank(text[b])) ++b;
  while (e > b && blank(text[e - 1])) --e;
  if (b == e) {
    *value = 0;
    return 0 >= min && 0 <= max;
  }
  bool negative = false;
  if (text[b] == '+' || text[b] == '-') {
    negative = text[b] == '-';
    ++b;
  }
  if (b == e) return false;
  // Accumulate as a negative number so that the minimum of long long fits.
  long long v = 0;
  for (size_t i = b; i < e; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    const int d = text[i] - '0';
    if (v < (-9223372036854775807LL - 1 + d) / 10) return false;
    v = v * 10 - d;
  }
  if (!negative) {
    if (v == -9223372036854775807LL - 1) return false;
    v = -v;
  }
  if (v < min || v > max) return false;
  *value = v;
  return true;
}

}  // namespace kestal::db::sqlite
