// CString: a byte string in the process code page (GBK by default). Bytes are
// kept as given: no character set conversion happens here. Positions and
// lengths count bytes, as in a multibyte MFC build.
//
// Searching steps over whole characters of the process code page, as the
// multibyte MFC string does under code page 936: a lead byte followed by a
// trail byte is one character, so the trail byte of a Chinese character is
// never found, replaced or removed as the ASCII character it equals ('\\',
// '{', '}', '|', letters), and a substring only matches where a character
// starts and ends. A search start position is taken to be a character start.
// Search for a single-byte character finds only single-byte characters.
#pragma once

#include <cstdarg>
#include <string>

class CString {
 public:
  CString() = default;
  CString(const char* text) : s_(text ? text : "") {}  // NOLINT: implicit, as in MFC
  CString(const char* bytes, int length) : s_(bytes, length > 0 ? length : 0) {}
  CString(const std::string& text) : s_(text) {}  // NOLINT
  CString(char ch, int repeat = 1) : s_(repeat > 0 ? repeat : 0, ch) {}

  // Replaces the content with printf-style output. Arguments are C types:
  // pass a CString as (const char*)str or str.c_str().
  void Format(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void FormatV(const char* format, va_list args);
  // Appends printf-style output.
  void AppendFormat(const char* format, ...) __attribute__((format(printf, 2, 3)));

  int GetLength() const { return static_cast<int>(s_.size()); }
  bool IsEmpty() const { return s_.empty(); }
  void Empty() { s_.clear(); }
  char GetAt(int index) const { return s_.at(static_cast<size_t>(index)); }
  char operator[](int index) const { return GetAt(index); }

  // Byte-wise comparison of the texts up to their first NUL (strcmp): <0, 0, >0.
  int Compare(const char* other) const;
  // Case-insensitive comparison, double-byte aware (code page 936).
  int CompareNoCase(const char* other) const;

  // Index of the first occurrence at or after start, or -1 (also for a null
  // sub and a start outside the text; an empty sub is found at start).
  int Find(const char* sub, int start = 0) const;
  int Find(char ch, int start = 0) const;
  // Index of the last occurrence of ch, or -1.
  int ReverseFind(char ch) const;
  // Index of the first character that is one of the characters of set, or -1.
  int FindOneOf(const char* set) const;
  // The leading characters that are all in set / none in set.
  CString SpanIncluding(const char* set) const;
  CString SpanExcluding(const char* set) const;
  // The next token from start: characters of tokens before it are skipped,
  // the token ends before the next such character, and start moves past
  // that character. At the end, returns "" and sets start to -1. With no
  // tokens, the rest of the text is the one token.
  CString Tokenize(const char* tokens, int& start) const;

  // Substrings; out-of-range arguments are clamped, never undefined.
  CString Mid(int first) const;
  CString Mid(int first, int count) const;
  CString Left(int count) const;
  CString Right(int count) const;

  // Replaces every occurrence of from by to; returns the number replaced.
  int Replace(const char* from, const char* to);
  int Replace(char from, char to);
  // Deletes every occurrence of ch; returns the number deleted.
  int Remove(char ch);
  // Deletes count bytes at index (clamped); returns the new length.
  int Delete(int index, int count = 1);
  int Insert(int index, const char* text);
  // Upper/lower-cases ASCII letters only; bytes of double-byte characters are
  // left alone, so GBK text survives.
  void MakeUpper();
  void MakeLower();
  // Remove blanks (space, tab, CR, LF, VT, FF). Byte-wise: no code page has
  // a blank as a trail byte.
  void TrimLeft();
  void TrimRight();
  void Trim() {
    TrimRight();
    TrimLeft();
  }

  const char* c_str() const { return s_.c_str(); }
  operator const char*() const { return s_.c_str(); }  // NOLINT: as in MFC
  const std::string& str() const { return s_; }

  CString& operator+=(const CString& other) {
    s_ += other.s_;
    return *this;
  }
  CString& operator+=(const char* other) {
    s_ += (other ? other : "");
    return *this;
  }
  CString& operator+=(char ch) {
    s_ += ch;
    return *this;
  }

  friend CString operator+(const CString& a, const CString& b) { return CString(a.s_ + b.s_); }
  friend CString operator+(const CString& a, const char* b) { return CString(a.s_ + (b ? b : "")); }
  friend CString operator+(const char* a, const CString& b) { return CString((a ? a : "") + b.s_); }
  friend CString operator+(const CString& a, char b) { return CString(a.s_ + b); }

  friend bool operator==(const CString& a, const CString& b) { return a.Compare(b.c_str()) == 0; }
  friend bool operator==(const CString& a, const char* b) { return a.Compare(b) == 0; }
  friend bool operator==(const char* a, const CString& b) { return b.Compare(a) == 0; }
  friend bool operator!=(const CString& a, const CString& b) { return !(a == b); }
  friend bool operator!=(const CString& a, const char* b) { return !(a == b); }
  friend bool operator!=(const char* a, const CString& b) { return !(a == b); }
  friend bool operator<(const CString& a, const CString& b) { return a.Compare(b.c_str()) < 0; }

 private:
  std::string s_;
};
