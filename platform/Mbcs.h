// Multibyte comparisons for code page 936 (GBK), the counterparts of the C
// run-time's _mbsicmp and _mbscmp. Both compare NUL-terminated byte strings.
#pragma once

// Case-insensitive comparison: ASCII letters compare without regard to case;
// a double-byte character (lead byte 0x81..0xFE followed by a trail byte) is
// compared as one unit and exactly, even when its trail byte happens to be an
// ASCII letter. Returns <0, 0 or >0. A null pointer compares below any text.
int _mbsicmp(const unsigned char* a, const unsigned char* b);
int _mbsicmp(const char* a, const char* b);

// Byte-wise comparison in code page 936 order (the same as strcmp for GBK).
int _mbscmp(const unsigned char* a, const unsigned char* b);
int _mbscmp(const char* a, const char* b);

namespace kestal {
// True when b is a GBK lead byte.
inline bool IsGbkLeadByte(unsigned char b) { return b >= 0x81 && b <= 0xFE; }
}  // namespace kestal
