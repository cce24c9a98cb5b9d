// The process code page: conversion between it and UTF-8, and the shape of
// its characters. The process code page is GBK (code page 936) unless the
// environment variable KESTAL_CODEPAGE names another iconv code set; it is
// read once, at first use. Conversion never fails: a character that cannot be
// converted becomes one '?'.
//
// Characters: in a double-byte code page a lead byte followed by a trail byte
// is one character, and the trail byte may be an ASCII byte ('\\', '{', '|',
// '}', letters). Whoever searches host or table text for an ASCII character
// must step over whole characters (CString does), or it finds half of a
// Chinese character.
#pragma once

#include <cstddef>
#include <string>

namespace kestal {

// The iconv name of the process code page ("GBK" by default).
const std::string& ProcessCodepage();
// Fixes the process code page to name if no thread has fixed it yet (by this
// call or by a first ProcessCodepage()); true when it is name afterwards.
// Safe from any thread, and leaves the environment alone: a setenv while
// another thread reads KESTAL_CODEPAGE would be a data race.
bool SetProcessCodepage(const std::string& name);
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

// Which bytes open a double-byte character (lead) and which may close one
// (trail) in one code set. Learned from iconv: a byte that iconv reads as the
// incomplete start of a character is a lead byte, and a byte that completes
// (or continues) a character after some lead byte is a trail byte. Bytes
// below 0x21 (NUL, blanks, line ends) are never trail bytes; UTF-8 and
// single-byte code sets have no lead bytes, since no ASCII byte ever occurs
// inside one of their characters. GBK: lead 0x81..0xFE, trail 0x40..0x7E and
// 0x80..0xFE.
struct ByteClasses {
  bool lead[256];
  bool trail[256];
  // Bytes of the character that starts at text[at] (at < size): 2 for a lead
  // byte followed by a trail byte, otherwise 1. A lead byte at the end, or one
  // followed by a byte that cannot be a trail byte, is a character of its own.
  size_t CharLength(const char* text, size_t size, size_t at) const {
    return at + 1 < size && lead[static_cast<unsigned char>(text[at])] &&
                   trail[static_cast<unsigned char>(text[at + 1])]
               ? 2
               : 1;
  }
};
// The classes of the process code page; computed once, then shared by every
// thread (read-only).
const ByteClasses& ProcessByteClasses();
// The classes of any iconv code set (computed on each call: tests and tools).
// A code set iconv does not know gets GBK's classes when its name is one of
// GBK's, else none (every byte is a character of its own).
ByteClasses ByteClassesFor(const char* codeset);

}  // namespace kestal
