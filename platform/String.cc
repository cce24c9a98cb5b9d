#include "platform/String.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/Codepage.h"
#include "platform/Mbcs.h"

namespace {

using kestal::ByteClasses;

const ByteClasses& Chars() {
  return kestal::ProcessByteClasses();
}

// Index of the first match of sub[0..n) in s at or after start (n > 0) that
// begins and ends on character boundaries of s, or npos. start counts as a
// boundary. Candidates come from std::string::find; the boundary walk only
// moves forward, so a search costs one pass over s plus the candidates.
size_t FindChars(const std::string& s, const char* sub, size_t n, size_t start) {
  const ByteClasses& c = Chars();
  size_t boundary = start;
  for (size_t at = s.find(sub, start, n); at != std::string::npos; at = s.find(sub, at + 1, n)) {
    while (boundary < at) boundary += c.CharLength(s.data(), s.size(), boundary);
    if (boundary != at) continue;  // at is the trail byte of a character
    size_t end = at;
    while (end < at + n) end += c.CharLength(s.data(), s.size(), end);
    if (end == at + n) return at;  // else the last character of sub is half of one in s
  }
  return std::string::npos;
}

// True when the character text[0..n) is one of the characters of set.
bool InSet(const char* set, const char* text, size_t n) {
  if (set == nullptr) return false;
  const ByteClasses& c = Chars();
  const size_t size = std::strlen(set);
  for (size_t i = 0; i < size;) {
    const size_t len = c.CharLength(set, size, i);
    if (len == n && std::memcmp(set + i, text, n) == 0) return true;
    i += len;
  }
  return false;
}

// Bytes of the leading run of characters of s from start that are in set
// (inside = true) or not in set (inside = false).
size_t Span(const std::string& s, size_t start, const char* set, bool inside) {
  const ByteClasses& c = Chars();
  size_t i = start;
  while (i < s.size()) {
    const size_t len = c.CharLength(s.data(), s.size(), i);
    if (InSet(set, s.data() + i, len) != inside) break;
    i += len;
  }
  return i - start;
}

// Clamps [first, first+count) into [0, size] and returns it as (pos, len).
std::pair<size_t, size_t> Clamp(int first, int count, size_t size) {
  long long f = std::max(first, 0);
  long long c = std::max(count, 0);
  if (f > static_cast<long long>(size)) f = static_cast<long long>(size);
  if (f + c > static_cast<long long>(size)) c = static_cast<long long>(size) - f;
  return {static_cast<size_t>(f), static_cast<size_t>(c)};
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

}  // namespace

void CString::Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  FormatV(format, args);
  va_end(args);
}

void CString::FormatV(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  char small[256];
  int n = std::vsnprintf(small, sizeof small, format ? format : "", copy);
  va_end(copy);
  if (n < 0) {
    s_.clear();
    return;
  }
  if (static_cast<size_t>(n) < sizeof small) {
    s_.assign(small, static_cast<size_t>(n));
    return;
  }
  std::string out(static_cast<size_t>(n) + 1, '\0');
  std::vsnprintf(out.data(), out.size(), format, args);
  out.resize(static_cast<size_t>(n));
  s_.swap(out);
}

void CString::AppendFormat(const char* format, ...) {
  va_list args;
  va_start(args, format);
  CString more;
  more.FormatV(format, args);
  va_end(args);
  s_ += more.s_;
}

int CString::Compare(const char* other) const {
  return std::strcmp(s_.c_str(), other ? other : "");
}

int CString::CompareNoCase(const char* other) const {
  return _mbsicmp(s_.c_str(), other ? other : "");
}

int CString::Find(const char* sub, int start) const {
  if (sub == nullptr || start < 0 || static_cast<size_t>(start) > s_.size()) return -1;
  if (*sub == '\0') return start;
  size_t at = FindChars(s_, sub, std::strlen(sub), static_cast<size_t>(start));
  return at == std::string::npos ? -1 : static_cast<int>(at);
}

int CString::Find(char ch, int start) const {
  if (start < 0 || static_cast<size_t>(start) > s_.size()) return -1;
  size_t at = FindChars(s_, &ch, 1, static_cast<size_t>(start));
  return at == std::string::npos ? -1 : static_cast<int>(at);
}

int CString::ReverseFind(char ch) const {
  int last = -1;
  for (size_t at = FindChars(s_, &ch, 1, 0); at != std::string::npos;
       at = FindChars(s_, &ch, 1, at + 1)) {
    last = static_cast<int>(at);
  }
  return last;
}

int CString::FindOneOf(const char* set) const {
  const size_t at = Span(s_, 0, set, false);
  return at < s_.size() ? static_cast<int>(at) : -1;
}

CString CString::SpanIncluding(const char* set) const {
  return CString(s_.substr(0, Span(s_, 0, set, true)));
}

CString CString::SpanExcluding(const char* set) const {
  return CString(s_.substr(0, Span(s_, 0, set, false)));
}

CString CString::Tokenize(const char* tokens, int& start) const {
  if (start < 0 || static_cast<size_t>(start) >= s_.size()) {
    start = -1;
    return CString();
  }
  const size_t from = static_cast<size_t>(start);
  if (tokens == nullptr || *tokens == '\0') {
    // The rest is one token; the next call ends the walk.
    start = GetLength();
    return CString(s_.substr(from));
  }
  const size_t first = from + Span(s_, from, tokens, true);
  if (first >= s_.size()) {
    start = -1;
    return CString();
  }
  const size_t length = Span(s_, first, tokens, false);
  // Past the token and the one character that ended it (a delimiter of two
  // bytes is passed whole).
  const size_t end = first + length;
  start =
      static_cast<int>(end < s_.size() ? end + Chars().CharLength(s_.data(), s_.size(), end) : end);
  return CString(s_.substr(first, length));
}

CString CString::Mid(int first) const {
  return Mid(first, GetLength());
}

CString CString::Mid(int first, int count) const {
  auto [pos, len] = Clamp(first, count, s_.size());
  return CString(s_.substr(pos, len));
}

CString CString::Left(int count) const {
  return Mid(0, count);
}

CString CString::Right(int count) const {
  int n = std::clamp(count, 0, GetLength());
  return CString(s_.substr(s_.size() - static_cast<size_t>(n)));
}

int CString::Replace(const char* from, const char* to) {
  if (from == nullptr || *from == '\0') return 0;
  const size_t n = std::strlen(from);
  const char* t = to ? to : "";
  std::string out;
  int replaced = 0;
  size_t pos = 0;
  for (size_t at; (at = FindChars(s_, from, n, pos)) != std::string::npos; pos = at + n) {
    out.append(s_, pos, at - pos).append(t);
    ++replaced;
  }
  if (replaced == 0) return 0;
  out.append(s_, pos, std::string::npos);
  s_.swap(out);
  return replaced;
}

int CString::Replace(char from, char to) {
  // Each search starts after the byte just replaced, so the characters are
  // those of the text as it was.
  int replaced = 0;
  for (size_t at = FindChars(s_, &from, 1, 0); at != std::string::npos;
       at = FindChars(s_, &from, 1, at + 1)) {
    s_[at] = to;
    ++replaced;
  }
  return replaced;
}

int CString::Remove(char ch) {
  std::string out;
  int removed = 0;
  size_t pos = 0;
  for (size_t at; (at = FindChars(s_, &ch, 1, pos)) != std::string::npos; pos = at + 1) {
    out.append(s_, pos, at - pos);
    ++removed;
  }
  if (removed == 0) return 0;
  out.append(s_, pos, std::string::npos);
  s_.swap(out);
  return removed;
}

int CString::Delete(int index, int count) {
  auto [pos, len] = Clamp(index, count, s_.size());
  s_.erase(pos, len);
  return GetLength();
}

int CString::Insert(int index, const char* text) {
  size_t pos = static_cast<size_t>(std::clamp(index, 0, GetLength()));
  s_.insert(pos, text ? text : "");
  return GetLength();
}

void CString::MakeUpper() {
  const ByteClasses& c = Chars();
  for (size_t i = 0, len; i < s_.size(); i += len) {
    // A double-byte character is left whole, even when its trail byte is a letter.
    len = c.CharLength(s_.data(), s_.size(), i);
    if (len == 1 && s_[i] >= 'a' && s_[i] <= 'z') s_[i] = static_cast<char>(s_[i] - 'a' + 'A');
  }
}

void CString::MakeLower() {
  const ByteClasses& c = Chars();
  for (size_t i = 0, len; i < s_.size(); i += len) {
    len = c.CharLength(s_.data(), s_.size(), i);
    if (len == 1 && s_[i] >= 'A' && s_[i] <= 'Z') s_[i] = static_cast<char>(s_[i] - 'A' + 'a');
  }
}

void CString::TrimLeft() {
  size_t n = 0;
  while (n < s_.size() && IsBlank(s_[n])) ++n;
  s_.erase(0, n);
}

void CString::TrimRight() {
  while (!s_.empty() && IsBlank(s_.back())) s_.pop_back();
}
