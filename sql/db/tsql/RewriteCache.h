// A bounded cache of rewrites by statement shape, for the SELECTs a follower
// sends over and over with only the key numbers changed
// (... where rec_num>1500 and rec_num<=2000 ...).
//
// A shape is the statement's text with each plain whole number written
// straight after a comparison operator taken out as a slot. The rewrite of
// a shape is learnt once: the statement is rewritten as it stands and once
// more with distinct probe numbers in its slots; the probe's output must hold
// each probe number exactly once as a number of its own, and filling the
// actual numbers into the probe's output must give the actual rewrite
// byte for byte. A shape that fails either test is remembered as one to
// rewrite in full each time. Only numbers of at most nine digits without a
// leading zero are slots: T-SQL types them all as int, and none of them can
// be a column position (ORDER BY 2) where it stands. Statements over 8 KiB
// are not shaped, so that the cache's memory stays bounded.
//
// The rewrite may depend on the schema (which columns hold characters): the
// owner passes the schema's generation with every lookup, and a new one
// empties the cache. Not thread-safe: one per engine session.
#pragma once

#include <cstddef>
#include <functional>
#include <list>
#include <string>
#include <unordered_map>
#include <vector>

#include "sql/db/tsql/Dialect.h"
#include "sql/db/tsql/Rewriter.h"
#include "sql/db/tsql/Schema.h"

namespace kestal::db::tsql {

struct ShapedStatement {
  Statement statement;  // as Rewrite(text) gives it
  // When not empty: statement.sql with slot k written ?k (from 1), for an
  // engine that prepares a shape once and binds values[k-1] as an integer.
  std::string shape_sql;
  std::vector<long long> values;
};

class RewriteCache {
 public:
  explicit RewriteCache(size_t capacity = 64) : capacity_(capacity == 0 ? 1 : capacity) {}

  // Rewrites text as Rewrite(text, dialect, schema) does, from the cache
  // when its shape is known. generation gives the schema's version; it is
  // asked only for a statement that may have a shape, and a change empties
  // the cache first. Raises as Rewrite raises, and what generation raises.
  ShapedStatement Rewrite(const std::string& text, const Dialect& dialect, Schema* schema,
                          const std::function<long long()>& generation);

  void Clear();
  size_t size() const { return entries_.size(); }
  // Lookups answered from a learnt shape (for tests and benchmarks).
  size_t hits() const { return hits_; }

 private:
  struct Entry {
    bool usable = false;              // false: rewrite this shape in full
    std::vector<std::string> pieces;  // output text around the slots
    std::vector<size_t> order;        // per gap: which slot fills it
    std::vector<std::string> locked_tables;
    std::list<std::string>::iterator age;
  };

  Entry* Find(const std::string& key);
  Entry& Insert(const std::string& key);

  size_t capacity_;
  long long generation_ = 0;
  bool have_generation_ = false;
  size_t hits_ = 0;
  std::list<std::string> ages_;  // most recently used first
  std::unordered_map<std::string, Entry> entries_;
};

}  // namespace kestal::db::tsql
