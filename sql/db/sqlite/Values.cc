#include "sql/db/sqlite/Values.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>

#include "platform/Codepage.h"

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

FixedWidth FixedWidthOf(const char* declared) {
  FixedWidth width;
  if (declared == nullptr) return width;
  std::string d;
  for (const char* p = declared; *p; ++p) {
    if (*p == ' ' || *p == '\t') continue;
    d += static_cast<char>(*p >= 'A' && *p <= 'Z' ? *p - 'A' + 'a' : *p);
  }
  size_t base = 0;
  if (d.compare(0, 5, "nchar") == 0) {
    base = 5;
    width.national = true;
  } else if (d.compare(0, 9, "character") == 0 && d.compare(0, 16, "charactervarying") != 0) {
    base = 9;
  } else if (d.compare(0, 4, "char") == 0) {
    base = 4;
  } else {
    return width;
  }
  if (base == d.size()) {
    width.length = 1;
    return width;
  }
  if (d[base] != '(' || d.back() != ')') return FixedWidth();
  const std::string digits = d.substr(base + 1, d.size() - base - 2);
  if (digits.empty() || digits.size() > 4 ||
      digits.find_first_not_of("0123456789") != std::string::npos) {
    return FixedWidth();
  }
  width.length = std::atoi(digits.c_str());
  return width;
}

void PadToWidth(const FixedWidth& width, std::string* text) {
  const size_t want = static_cast<size_t>(width.length);
  if (text->size() >= want && !width.national) {
    // Bytes in the host's code page are never more than UTF-8 bytes for
    // the characters a char column holds, but may be fewer: count them.
    bool ascii = true;
    for (char c : *text) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    if (ascii) return;
  }
  size_t have = 0;
  if (width.national) {
    for (char c : *text) have += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  } else {
    have = FromUtf8(*text).size();
  }
  if (have < want) text->append(want - have, ' ');
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
