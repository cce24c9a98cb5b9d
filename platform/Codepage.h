// Conversion between the process code page and UTF-8. The process code page
// is GBK (code page 936) unless the environment variable KESTAL_CODEPAGE names
// another iconv code set. Conversion never fails: a byte sequence that cannot
// be converted becomes '?'.
#pragma once

#include <string>

namespace kestal {

// The iconv name of the process code page ("GBK" by default).
const std::string& ProcessCodepage();
// True when no byte of text has its high bit set (the text reads the same in
// every code page the library meets). Tested eight bytes at a time: every
// cell of every result passes through it.
bool IsAscii(const std::string& text);
// Process code page -> UTF-8.
std::string ToUtf8(const std::string& text);
// UTF-8 -> process code page.
std::string FromUtf8(const std::string& text);
// Between any two iconv code sets, with the same '?' rule.
std::string ConvertText(const std::string& text, const char* from, const char* to);

}  // namespace kestal
