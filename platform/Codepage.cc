#include "platform/Codepage.h"

#include <iconv.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace kestal {

bool IsAscii(const std::string& text) {
  const char* p = text.data();
  size_t n = text.size();
  uint64_t any = 0;
  for (; n >= 8; p += 8, n -= 8) {
    uint64_t word;
    std::memcpy(&word, p, sizeof word);
    any |= word;
  }
  for (; n > 0; ++p, --n) any |= static_cast<unsigned char>(*p);
  return (any & 0x8080808080808080ULL) == 0;
}

namespace {

// Same-named code sets need no work; "UTF8" and "utf-8" count as the same.
// Compared in place, without building the normalised names.
bool SameCodeset(const char* a, const char* b) {
  for (;;) {
    while (*a == '-' || *a == '_') ++a;
    while (*b == '-' || *b == '_') ++b;
    if (*a == '\0' || *b == '\0') return *a == *b;
    if (std::toupper(static_cast<unsigned char>(*a)) !=
        std::toupper(static_cast<unsigned char>(*b))) {
      return false;
    }
    ++a;
    ++b;
  }
}

// The iconv descriptors of one thread, one per (from, to) pair, opened on
// first use and kept for the thread's life: opening one costs far more than
// converting a short value. A descriptor carries shift state, so it is never
// shared between threads; each use starts from the initial state.
class ConverterCache {
 public:
  ~ConverterCache() {
    for (const Entry& e : entries_) iconv_close(e.cd);
  }
  // The descriptor for from -> to, or (iconv_t)-1 when iconv has none.
  // Failures are not cached: the next call tries again.
  iconv_t Get(const char* from, const char* to) {
    for (const Entry& e : entries_) {
      if (e.from == from && e.to == to) return e.cd;
    }
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) return cd;
    // Bounded: a program converting between ever new code sets closes the
    // oldest descriptor instead of collecting them.
    constexpr size_t kMaxEntries = 8;
    if (entries_.size() == kMaxEntries) {
      iconv_close(entries_.front().cd);
      entries_.erase(entries_.begin());
    }
    entries_.push_back(Entry{from, to, cd});
    return cd;
  }

 private:
  struct Entry {
    std::string from;
    std::string to;
    iconv_t cd;
  };
  std::vector<Entry> entries_;
};

iconv_t Converter(const char* from, const char* to) {
  static thread_local ConverterCache cache;
  return cache.Get(from, to);
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
  iconv_t cd = Converter(from, to);
  if (cd == reinterpret_cast<iconv_t>(-1)) return text;
  // A cached descriptor may hold the state of an earlier conversion that
  // stopped early (an exception between calls): start from the initial one.
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
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
  return out;
}

std::string ToUtf8(const std::string& text) {
  return ConvertText(text, ProcessCodepage().c_str(), "UTF-8");
}

std::string FromUtf8(const std::string& text) {
  return ConvertText(text, "UTF-8", ProcessCodepage().c_str());
}

}  // namespace kestal
