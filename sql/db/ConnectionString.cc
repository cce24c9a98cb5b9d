#include "sql/db/ConnectionString.h"

#include <strings.h>

#include <cctype>

#include "platform/Codepage.h"
#include "sql/db/ComError.h"

namespace kestal::db {
namespace {

// text without leading and trailing white space.
std::string Trim(const std::string& text) {
  size_t b = 0;
  size_t e = text.size();
  while (b < e && std::isspace(static_cast<unsigned char>(text[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(text[e - 1]))) --e;
  return text.substr(b, e - b);
}

// Raises the failure; why quotes the host's text, in its code page, and
// descriptions travel in UTF-8 until the access layer converts them back.
[[noreturn]] void Malformed(const std::string& why) {
  throw _com_error(kConnectionError, CString("invalid connection string: " + ToUtf8(why)));
}

}  // namespace

ConnectionString ConnectionString::Parse(const std::string& text) {
  ConnectionString out;
  size_t i = 0;
  const size_t n = text.size();
  while (i < n) {
    size_t eq = text.find_first_of("=;", i);
    if (eq == std::string::npos || text[eq] == ';') {
      std::string part = Trim(text.substr(i, eq == std::string::npos ? n - i : eq - i));
      if (!part.empty()) Malformed("'" + part + "' has no '='");
      i = eq == std::string::npos ? n : eq + 1;
      continue;
    }
    std::string key = Trim(text.substr(i, eq - i));
    if (key.empty()) Malformed("empty key");
    i = eq + 1;
    while (i < n && (text[i] == ' ' || text[i] == '\t')) ++i;
    std::string value;
    if (i < n && (text[i] == '\'' || text[i] == '"')) {
      const char quote = text[i++];
      bool closed = false;
      while (i < n) {
        if (text[i] == quote) {
          if (i + 1 < n && text[i + 1] == quote) {
            value += quote;
            i += 2;
            continue;
          }
          ++i;
          closed = true;
          break;
        }
        value += text[i++];
      }
      if (!closed) Malformed("unterminated quoted value of '" + key + "'");
      while (i < n && text[i] != ';') {
        if (!std::isspace(static_cast<unsigned char>(text[i]))) {
          Malformed("text after the quoted value of '" + key + "'");
        }
        ++i;
      }
    } else {
      size_t end = text.find(';', i);
      if (end == std::string::npos) end = n;
      value = Trim(text.substr(i, end - i));
      i = end;
    }
    if (i < n && text[i] == ';') ++i;
    out.pairs_.emplace_back(key, value);
  }
  return out;
}

std::string ConnectionString::Get(const std::string& key, const std::string& fallback) const {
  for (auto it = pairs_.rbegin(); it != pairs_.rend(); ++it) {
    if (strcasecmp(it->first.c_str(), key.c_str()) == 0) return it->second;
  }
  return fallback;
}

bool ConnectionString::Has(const std::string& key) const {
  for (const auto& p : pairs_) {
    if (strcasecmp(p.first.c_str(), key.c_str()) == 0) return true;
  }
  return false;
}

void ConnectionString::Set(const std::string& key, const std::string& value) {
  for (auto& p : pairs_) {
    if (strcasecmp(p.first.c_str(), key.c_str()) == 0) p.second = value;
  }
  if (!Has(key)) pairs_.emplace_back(key, value);
}

bool ConnectionString::GetFlag(const std::string& key) const {
  const std::string v = Get(key);
  return strcasecmp(v.c_str(), "yes") == 0 || strcasecmp(v.c_str(), "true") == 0 || v == "1" ||
         strcasecmp(v.c_str(), "on") == 0;
}

}  // namespace kestal::db
