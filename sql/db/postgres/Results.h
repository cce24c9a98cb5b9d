// Rows of a PostgreSQL result as the access layer's ResultTable: every value
// as text, timestamps as 'YYYY-MM-DD HH:MM:SS' and booleans as 1 / 0, the way
// the other engines give them.
//
// A query that may read a whole table is read in libpq's single-row mode
// (ReadsRowByRow): its set arrives as one PGRES_SINGLE_TUPLE result per row
// and an empty PGRES_TUPLES_OK at its end, and ResultReader packs each row as
// it arrives, so that libpq never holds more than the row in hand. Other
// queries come as one whole PGRES_TUPLES_OK, which ResultReader takes too:
// libpq makes one result object per row in single-row mode, a cost that
// small, frequent reads (window fetches) would feel.
#pragma once

#include <libpq-fe.h>

#include <memory>
#include <string>
#include <vector>

#include "sql/db/Engine.h"

namespace kestal::db::postgres {

// True when sql (one statement as sent to the server) is a query, starting
// with SELECT or WITH, with no WHERE, LIMIT, FETCH or OFFSET outside
// parentheses, so that it may yield a whole table: such a query is read row
// by row. False for anything else and for text the lexer cannot read.
bool ReadsRowByRow(const std::string& sql);

// Gathers the sets of one query, one set at a time. Not thread-safe; owned
// by the call collecting the query's results.
class ResultReader {
 public:
  // Keeps at most limit rows of each set when limit is positive ("set
  // rowcount"); the rest are read and dropped.
  explicit ResultReader(long limit) : limit_(limit) {}

  // Appends the rows of result (PGRES_SINGLE_TUPLE or PGRES_TUPLES_OK) to the
  // set being read; the first result of a set gives its columns. Raises
  // std::bad_alloc or std::length_error as ResultTable does.
  void Add(const PGresult* result);
  // Ends the set being read and returns it: its columns, and no rows when it
  // had none. Null when nothing was added since the last Take.
  std::unique_ptr<ResultTable> Take();
  // Forgets the set being read (after a failure in its middle), freeing its
  // rows at once.
  void Drop();

 private:
  // Starts a set with the columns of result.
  void Start(const PGresult* result);

  long limit_;
  long long seen_ = 0;                  // rows of the set read so far, kept or not
  std::unique_ptr<ResultTable> table_;  // the set being read, null between sets
  std::vector<Oid> types_;              // per column
  std::vector<bool> plain_;             // per column: handed over as written
};

}  // namespace kestal::db::postgres
