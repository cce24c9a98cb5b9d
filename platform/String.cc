#include "platform/String.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/Mbcs.h"

namespace {

// Clamps [first, first+count) into [0, size] and returns it as (pos, len).
std::pair<size_t, size_t> Clamp(int first, int count, size_t size) {
  long long f = std::max(first, 0);
  long long c = std::max(count, 0);
  if (f > static_cast<long long>(size)) f = static_cast<long long>(size);
  if (f + c > static_cast<long long>(size)) c = static_cast<long long>(size) - f;
  return {static_cast<size_t>(f), static_cast<size_t>(c)};
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

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

int CString::Compare(const char* other) const { return std::strcmp(s_.c_str(), other ? other : ""); }

int CString::CompareNoCase(const char* other) const { return _mbsicmp(s_.c_str(), other ? other : ""); }

int CString::Find(const char* sub, int start) const {
  if (sub == nullptr || start < 0 || static_cast<size_t>(start) > s_.size()) return -1;
  size_t at = s_.find(sub, static_cast<size_t>(start));
  return at == std::string::npos ? -1 : static_cast<int>(at);
}

int CString::Find(char ch, int start) const {
  if (start < 0 || static_cast<size_t>(start) > s_.size()) return -1;
  size_t at = s_.find(ch, static_cast<size_t>(start));
  return at == std::string::npos ? -1 : static_cast<int>(at);
}

int CString::ReverseFind(char ch) const {
  size_t at = s_.rfind(ch);
  return at == std::string::npos ? -1 : static_cast<int>(at);
}

CString CString::Mid(int first) const { return Mid(first, GetLength()); }

CString CString::Mid(int first, int count) const {
  auto [pos, len] = Clamp(first, count, s_.size());
  return CString(s_.substr(pos, len));
}

CString CString::Left(int count) const { return Mid(0, count); }

CString CString::Right(int count) const {
  int n = std::clamp(count, 0, GetLength());
  return CString(s_.substr(s_.size() - static_cast<size_t>(n)));
}

int CString::Replace(const char* from, const char* to) {
  if (from == nullptr || *from == '\0') return 0;
  const std::string f(from), t(to ? to : "");
  std::string out;
  int replaced = 0;
  size_t pos = 0;
  for (size_t at; (at = s_.find(f, pos)) != std::string::npos; pos = at + f.size()) {
    out.append(s_, pos, at - pos).append(t);
    ++replaced;
  }
  if (replaced == 0) return 0;
  out.append(s_, pos, std::string::npos);
  s_.swap(out);
  return replaced;
}

int CString::Replace(char from, char to) {
  int replaced = 0;
  for (char& c : s_) {
    if (c == from) {
      c = to;
      ++replaced;
    }
  }
  return replaced;
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
  for (size_t i = 0; i < s_.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(s_[i]);
    if (kestal::IsGbkLeadByte(c) && i + 1 < s_.size()) {
      ++i;  // skip the trail byte: it belongs to a double-byte character
    } else if (c >= 'a' && c <= 'z') {
      s_[i] = static_cast<char>(c - 'a' + 'A');
    }
  }
}

void CString::MakeLower() {
  for (size_t i = 0; i < s_.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(s_[i]);
    if (kestal::IsGbkLeadByte(c) && i + 1 < s_.size()) {
      ++i;
    } else if (c >= 'A' && c <= 'Z') {
      s_[i] = static_cast<char>(c - 'A' + 'a');
    }
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
