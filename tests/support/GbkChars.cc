#include "support/GbkChars.h"

#include <iconv.h>

#include <stdexcept>

namespace kestal::test {

std::vector<GbkChar> GbkCharsWithTrail(char trail) {
  iconv_t cd = iconv_open("UTF-8", "GBK");
  if (cd == reinterpret_cast<iconv_t>(-1)) throw std::runtime_error("iconv has no GBK");
  std::vector<GbkChar> out;
  for (int lead = 0x81; lead <= 0xFE; ++lead) {
    char in[2] = {static_cast<char>(lead), trail};
    char utf8[8];
    char* src = in;
    char* dst = utf8;
    size_t in_left = sizeof in;
    size_t out_left = sizeof utf8;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    if (iconv(cd, &src, &in_left, &dst, &out_left) == static_cast<size_t>(-1)) continue;
    out.push_back(GbkChar{std::string(in, 2), std::string(utf8, static_cast<size_t>(dst - utf8))});
  }
  iconv_close(cd);
  return out;
}

std::vector<GbkChar> GbkCharsWithTrails(const std::string& trails) {
  std::vector<GbkChar> all;
  for (char t : trails) {
    for (GbkChar& c : GbkCharsWithTrail(t)) all.push_back(std::move(c));
  }
  return all;
}

}  // namespace kestal::test
