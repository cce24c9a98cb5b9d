// ADO-style connection strings: "key=value;key=value;...". Keys compare
// without regard to case; a value may be quoted with ' or " (a doubled quote
// inside stands for one), which lets it hold ';' and '='.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace kestal::db {

class ConnectionString {
 public:
  // Parses text. Raises _com_error(kConnectionError) for a part without '='
  // or an unterminated quoted value. Empty parts (";;") are skipped.
  static ConnectionString Parse(const std::string& text);

  // The value of key (any case), or fallback when absent. A key given twice
  // keeps its last value, as ADO does.
  std::string Get(const std::string& key, const std::string& fallback = std::string()) const;
  bool Has(const std::string& key) const;
  // True for yes/true/1/on (any case).
  bool GetFlag(const std::string& key) const;
  // Adds key=value, or replaces the value of key (any case).
  void Set(const std::string& key, const std::string& value);
  // Removes every pair of key (any case).
  void Remove(const std::string& key);
  const std::vector<std::pair<std::string, std::string>>& Pairs() const { return pairs_; }

 private:
  std::vector<std::pair<std::string, std::string>> pairs_;
};

// text, a connection string of any form (ADO pairs, libpq keywords, a URI),
// with every password value replaced by "***": the one way a connection
// string goes into a message. Leans towards hiding too much.
std::string MaskPasswords(const std::string& text);

// Fills in the password of connection when it has none (no Password or PWD):
// from the file named by "Password File" (read now, so that a changed file
// takes effect at the next connect; one trailing line break dropped),
// otherwise from the environment variable KESTAL_PASSWORD when set. Removes
// "Password File" either way. SQLite takes no password and is left alone.
// Raises _com_error(kConnectionError) naming the file when it cannot be read,
// is empty, or can be read by every user.
void ResolvePassword(ConnectionString* connection);

}  // namespace kestal::db
