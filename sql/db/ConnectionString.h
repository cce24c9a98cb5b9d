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
  const std::vector<std::pair<std::string, std::string>>& Pairs() const { return pairs_; }

 private:
  std::vector<std::pair<std::string, std::string>> pairs_;
};

}  // namespace kestal::db
