// Every GBK character whose trail byte is a given ASCII byte, generated with
// iconv(3) rather than picked by hand: each lead byte 0x81..0xFE is tried
// with the trail byte, and the pairs iconv converts are the characters. The
// trail bytes that matter to the library are '\\' (0x5C, path separator),
// '{' and '}' (0x7B, 0x7D, filter braces), '|' (0x7C) and the letters of
// "and".
#pragma once

#include <string>
#include <vector>

namespace kestal::test {

struct GbkChar {
  std::string gbk;   // the two bytes, lead then trail
  std::string utf8;  // the same character in UTF-8 (for the engines' clients)
};

// The characters with trail byte trail, in lead byte order. Throws
// std::runtime_error when iconv has no GBK.
std::vector<GbkChar> GbkCharsWithTrail(char trail);

// The characters with any of the trail bytes in trails, grouped by trail.
std::vector<GbkChar> GbkCharsWithTrails(const std::string& trails);

}  // namespace kestal::test
