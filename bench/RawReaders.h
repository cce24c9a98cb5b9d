// The raw sides of the SQL reading benchmarks: one statement run with the
// engine's own client library, with nothing of the library in between. Every
// value of every row is read as text and copied out, as a static result
// holds each row whole for the host; the first three are handed over.
#pragma once

#include <libpq-fe.h>
#include <sqlite3.h>

#include <algorithm>
#include <memory>
#include <string>

#include "SqlScratch.h"

namespace kestal::bench {

// Columns read per row; the benchmark tables have fewer.
constexpr int kMaxColumns = 16;

class RawSqliteReader {
 public:
  explicit RawSqliteReader(const SqliteScratch& db) : db_(db.db()) {}
  static const char* IfNull() { return "ifnull"; }
  // Runs sql and calls row(c0, c1, c2) per row. Returns false on failure.
  template <class Row>
  bool Rows(const char* sql, Row&& row) const {
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db_, sql, -1, &raw, nullptr) != SQLITE_OK) return false;
    std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> st(raw, sqlite3_finalize);
    const int columns = std::min(sqlite3_column_count(raw), kMaxColumns);
    std::string values[kMaxColumns];
    int rc;
    while ((rc = sqlite3_step(raw)) == SQLITE_ROW) {
      for (int c = 0; c < columns; ++c) values[c] = Text(raw, c);
      row(values[0].c_str(), values[1].c_str(), values[2].c_str());
    }
    return rc == SQLITE_DONE;
  }

 private:
  static const char* Text(sqlite3_stmt* st, int i) {
    const unsigned char* t = sqlite3_column_text(st, i);
    return t ? reinterpret_cast<const char*>(t) : "";
  }
  sqlite3* db_;
};

class RawPgReader {
 public:
  explicit RawPgReader(const PgScratch& db) : conn_(db.conn()) {}
  static const char* IfNull() { return "coalesce"; }
  // Runs sql and calls row(c0, c1, c2) per row. Returns false on failure.
  template <class Row>
  bool Rows(const char* sql, Row&& row) const {
    std::unique_ptr<PGresult, void (*)(PGresult*)> r(PQexec(conn_, sql), PQclear);
    if (PQresultStatus(r.get()) != PGRES_TUPLES_OK) return false;
    const int rows = PQntuples(r.get());
    const int columns = std::min(PQnfields(r.get()), kMaxColumns);
    std::string values[kMaxColumns];
    for (int i = 0; i < rows; ++i) {
      for (int c = 0; c < columns; ++c) {
        values[c].assign(PQgetvalue(r.get(), i, c),
                         static_cast<size_t>(PQgetlength(r.get(), i, c)));
      }
      row(values[0].c_str(), values[1].c_str(), values[2].c_str());
    }
    return true;
  }

 private:
  PGconn* conn_;
};

inline RawSqliteReader RawReader(const SqliteScratch& db) {
  return RawSqliteReader(db);
}
inline RawPgReader RawReader(const PgScratch& db) {
  return RawPgReader(db);
}

}  // namespace kestal::bench
