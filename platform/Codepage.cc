#include "platform/Codepage.h"

#include <iconv.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
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

bool IsUtf8(const char* codeset) {
  return SameCodeset(codeset, "UTF-8");
}

bool IsGbkName(const char* codeset) {
  return SameCodeset(codeset, "GBK") || SameCodeset(codeset, "CP936") ||
         SameCodeset(codeset, "936") || SameCodeset(codeset, "MS936") ||
         SameCodeset(codeset, "WINDOWS-936");
}

// How iconv takes the bytes: 0 converted, 1 an incomplete character (more
// bytes wanted), 2 an invalid sequence.
int Probe(iconv_t cd, const unsigned char* bytes, size_t size) {
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  char out[32];
  char* in = reinterpret_cast<char*>(const_cast<unsigned char*>(bytes));
  char* o = out;
  size_t in_left = size;
  size_t out_left = sizeof out;
  if (iconv(cd, &in, &in_left, &o, &out_left) != static_cast<size_t>(-1)) return 0;
  return errno == EINVAL ? 1 : 2;
}

ByteClasses GbkClasses() {
  ByteClasses c{};
  for (int b = 0x81; b <= 0xFE; ++b) c.lead[b] = true;
  for (int b = 0x40; b <= 0xFE; ++b) c.trail[b] = b != 0x7F;
  return c;
}

// Bytes to give up on after iconv refused the character at text[at] (from
// code set from): the whole character where its extent is known, so that
// one bad character becomes one '?' and no piece of it (a trail byte that
// looks like '\\' or '{') survives as a character of its own.
size_t BadCharLength(const std::string& text, size_t at, const char* from) {
  if (IsUtf8(from)) {
    size_t n = 1;
    while (n < 4 && at + n < text.size() &&
           (static_cast<unsigned char>(text[at + n]) & 0xC0) == 0x80)
      ++n;
    return n;
  }
  if (SameCodeset(from, ProcessCodepage().c_str())) {
    return ProcessByteClasses().CharLength(text.data(), text.size(), at);
  }
  return 1;
}

}  // namespace

ByteClasses ByteClassesFor(const char* codeset) {
  ByteClasses c{};
  if (IsUtf8(codeset)) return c;
  iconv_t cd = iconv_open("UTF-8", codeset);
  if (cd == reinterpret_cast<iconv_t>(-1)) return IsGbkName(codeset) ? GbkClasses() : c;
  bool any_lead = false;
  for (int b = 0x80; b <= 0xFF; ++b) {
    const unsigned char one = static_cast<unsigned char>(b);
    c.lead[b] = Probe(cd, &one, 1) == 1;
    any_lead = any_lead || c.lead[b];
  }
  // A trail byte is one that some lead byte accepts; most code sets accept
  // every trail byte after their first lead byte, so the search is short.
  for (int t = 0x21; any_lead && t <= 0xFF; ++t) {
    for (int l = 0x80; l <= 0xFF && !c.trail[t]; ++l) {
      if (!c.lead[l]) continue;
      const unsigned char two[2] = {static_cast<unsigned char>(l), static_cast<unsigned char>(t)};
      c.trail[t] = Probe(cd, two, 2) != 2;
    }
  }
  iconv_close(cd);
  return c;
}

const ByteClasses& ProcessByteClasses() {
  static const ByteClasses classes = ByteClassesFor(ProcessCodepage().c_str());
  return classes;
}

namespace {

// Fixed once, by the first SetProcessCodepage or ProcessCodepage; call_once
// orders that write before every later read, on every thread.
std::once_flag g_codepage_once;
std::string g_codepage;

}  // namespace

const std::string& ProcessCodepage() {
  std::call_once(g_codepage_once, [] {
    const char* env = std::getenv("KESTAL_CODEPAGE");
    g_codepage = env && *env ? env : "GBK";
  });
  return g_codepage;
}

bool SetProcessCodepage(const std::string& name) {
  std::call_once(g_codepage_once, [&name] { g_codepage = name; });
  return g_codepage == name;
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
      // character, then carry on after it.
      const size_t at = static_cast<size_t>(in - text.data());
      const size_t skip = std::min(BadCharLength(text, at, from), in_left);
      out += '?';
      in += skip;
      in_left -= skip;
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
