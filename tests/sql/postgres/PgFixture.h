// Object-level pieces shared by the PostgreSQL server tests: a trades table
// keyed by rec_num, record images for it, and a follower that reads a table
// window by window the way a host does.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "sql/SQLOperate.h"
#include "support/TestDatabase.h"

namespace kestal::test::pg {

// trades(rec_num int, stock char(6), bs char(1)): the record image is the
// 8-byte number field, then stock and bs.
constexpr const char kTradesDdl[] = "create table trades (rec_num int, stock char(6), bs char(1))";

inline std::string TradeImage(const std::string& stock = "600000", char bs = 'B') {
  return std::string(8, ' ') + (stock + "      ").substr(0, 6) + bs;
}

// Inserts rec_num first..last natively.
inline void InsertTrades(TestDatabase& db, int first, int last) {
  db.Exec("insert into trades select g, '600000', 'B' from generate_series(" +
          std::to_string(first) + ", " + std::to_string(last) + ") g");
}

// Opens an object on table, failing the test when it cannot.
inline std::unique_ptr<CSQLOperate> OpenObject(const std::string& conn, const char* table) {
  auto op = std::make_unique<CSQLOperate>();
  EXPECT_EQ(1, op->Open(conn.c_str(), table));
  return op;
}

// True when text matches the regular expression pattern as a whole.
inline bool Matches(const CString& text, const std::string& pattern) {
  return std::regex_match(text.str(), std::regex(pattern));
}

inline int Occurrences(const CString& text, const char* needle) {
  int n = 0;
  for (int at = text.Find(needle); at >= 0; at = text.Find(needle, at + 1)) ++n;
  return n;
}

// Follows a table by rec_num with GetRecordsetForBack, passing back the last
// key it holds, and records every key delivered.
class Follower {
 public:
  explicit Follower(CSQLOperate& op) : op_(op) {}
  // One call; reads the whole window it opens. Returns the call's result.
  int Step() {
    const int result = op_.GetRecordsetForBack("", std::to_string(last_).c_str(), 100, "CJK");
    if (result <= 0) return result;
    while (op_.SeekToCurrentPos() == 1) {
      const int key = std::atoi(op_.GetFieldValue(CString("rec_num")).c_str());
      keys_.push_back(key);
      last_ = key;
      op_.MoveNextEx();
    }
    return result;
  }
  int last() const { return last_; }
  const std::vector<int>& keys() const { return keys_; }

 private:
  CSQLOperate& op_;
  int last_ = 0;
  std::vector<int> keys_;
};

// 1, 2, ..., n.
inline std::vector<int> Sequence(int n) {
  std::vector<int> keys;
  for (int k = 1; k <= n; ++k) keys.push_back(k);
  return keys;
}

}  // namespace kestal::test::pg
