#include "platform/Mbcs.h"

#include <cstring>

namespace {

// Reads one character at p: a double-byte unit when p holds a lead byte
// followed by a non-NUL trail byte, else one byte (ASCII letters folded to
// upper case when fold is set). Advances p past it.
unsigned NextChar(const unsigned char*& p, bool fold) {
  unsigned c = *p++;
  if (kestal::IsGbkLeadByte(static_cast<unsigned char>(c)) && *p != 0) {
    return (c << 8) | *p++;
  }
  if (fold && c >= 'a' && c <= 'z') c -= 'a' - 'A';
  return c;
}

int Compare(const unsigned char* a, const unsigned char* b, bool fold) {
  if (a == nullptr || b == nullptr) return (a == nullptr ? 0 : 1) - (b == nullptr ? 0 : 1);
  for (;;) {
    if (*a == 0 || *b == 0) return (*a != 0) - (*b != 0);
    unsigned ca = NextChar(a, fold);
    unsigned cb = NextChar(b, fold);
    if (ca != cb) return ca < cb ? -1 : 1;
  }
}

}  // namespace

int _mbsicmp(const unsigned char* a, const unsigned char* b) { return Compare(a, b, true); }

int _mbsicmp(const char* a, const char* b) {
  return Compare(reinterpret_cast<const unsigned char*>(a), reinterpret_cast<const unsigned char*>(b),
                 true);
}

int _mbscmp(const unsigned char* a, const unsigned char* b) { return Compare(a, b, false); }

int _mbscmp(const char* a, const char* b) {
  return Compare(reinterpret_cast<const unsigned char*>(a), reinterpret_cast<const unsigned char*>(b),
                 false);
}
