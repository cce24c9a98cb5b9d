// The raw sides of the SQL reading benchmarks: one statement run with the
// engine's own client library, each row's first three columns handed over as
// text, with nothing of the library in between.
#pragma once

#include <libpq-fe.h>
#include <sqlite3.h>

#include <memory>

#include "SqlScratch.h"

namespace kestal::bench {

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
    int rc;
    while ((rc = sqlite3_step(raw)) == SQLITE_ROW) {
      row(Text(raw, 0), Text(raw, 1), Text(raw, 2));
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
    const int columns = PQnfields(r.get());
    for (int i = 0; i < rows; ++i) {
      row(PQgetvalue(r.get(), i, 0), columns > 1 ? PQgetvalue(r.get(), i, 1) : "",
          columns > 2 ? PQgetvalue(r.get(), i, 2) : "");
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
