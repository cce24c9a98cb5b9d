#include "platform/Codepage.h"

#include <iconv.h>

#include <cerrno>
#include <cstdlib>
#include <cctype>
#include <cstring>

namespace kestal {
namespace {

bool IsAscii(const std::string& text) {
  for (unsigned char c : text) {
    if (c >= 0x80) return false;
  }
  return true;
}

// Same-named code sets need no work; "UTF8" and "utf-8" count as the same.
bool SameCodeset(const char* a, const char* b) {
  auto norm = [](const char* s) {
    std::string out;
    for (; *s; ++s) {
      if (*s != '-' && *s != '_') out += static_cast<char>(std::toupper(static_cast<unsigned char>(*s)));
    }
    return out;
  };
  return norm(a) == norm(b);
}

}  // namespace

const std::string& ProcessCodepage() {
  static const std::string name = [] {
    const char* env = std::getenv("KESTAL_CODEPAGE");
    return std::string(env && *env ? env : "GBK");
  }();
  return name;
}

std::string ConvertText(const std::string& text, const char* from, const char* to) {
  if (text.empty() || IsAscii(text) || SameCodeset(from, to)) return text;
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return text;
  std::string out;
  out.reserve(text.size() * 2);
  char buf[1024];
  char* in = const_cast<char*>(text.data());
  size_t in_left = text.size();
  while (in_left > 0) {
    char* o = buf;
    size_t o_left = sizeof buf;
    size_t r = iconv(cd, &in, &in_left, &o, &o_left);
    out.append(buf, static_cast<size_t>(o - buf));
    if (r == static_cast<size_t>(-1)) {
      if (errno == E2BIG) continue;
      // EILSEQ or EINVAL (a cut sequence at the end): one '?' for the bad
      // byte, then carry on after it.
      out += '?';
      ++in;
      --in_left;
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
  }
  char* o = buf;
  size_t o_left = sizeof buf;
  iconv(cd, nullptr, nullptr, &o, &o_left);
  out.append(buf, static_cast<size_t>(o - buf));
  iconv_close(cd);
  return out;
}

std::string ToUtf8(const std::string& text) {
  return ConvertText(text, ProcessCodepage().c_str(), "UTF-8");
}

std::string FromUtf8(const std::string& text) {
  return ConvertText(text, "UTF-8", ProcessCodepage().c_str());
}

}  // namespace kestal
