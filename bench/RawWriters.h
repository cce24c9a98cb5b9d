// The raw sides of the SQL writing benchmarks: statement text run with the
// engine's own client library in autocommit (one transaction per statement,
// as the library's writes are), and the engines' fastest plain loads.
#pragma once

#include <libpq-fe.h>
#include <sqlite3.h>

#include <string>

#include "SqlScratch.h"

namespace kestal::bench {

class RawSqliteWriter {
 public:
  explicit RawSqliteWriter(const SqliteScratch& db) : db_(db) {}
  // Runs text (one or more statements) in autocommit. Returns false on failure.
  bool Exec(const std::string& text) const {
    return sqlite3_exec(db_.db(), text.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
  }
  // The engine text of one numbered insert of the library into table.
  static std::string NumberedText(std::string tsql, const std::string& /*table*/) {
    Replace(&tsql, "isnull(", "ifnull(");
    Replace(&tsql, " with (holdlock)", "");
    return tsql;
  }
  // Loads trades first..last with one prepared insert in one transaction.
  void Load(const std::string& table, long first, long last) const;

 private:
  static void Replace(std::string* text, const std::string& from, const std::string& to) {
    for (size_t at = text->find(from); at != std::string::npos; at = text->find(from, at)) {
      text->replace(at, from.size(), to);
      at += to.size();
    }
  }
  const SqliteScratch& db_;
  friend class RawPgWriter;
};

class RawPgWriter {
 public:
  explicit RawPgWriter(const PgScratch& db) : db_(db) {}
  // Runs text (one or more statements) as one simple query. Returns false on
  // failure.
  bool Exec(const std::string& text) const {
    bool ok = PQsendQuery(db_.conn(), text.c_str()) == 1;
    while (PGresult* r = PQgetResult(db_.conn())) {
      const ExecStatusType st = PQresultStatus(r);
      if (st != PGRES_COMMAND_OK && st != PGRES_TUPLES_OK) ok = false;
      PQclear(r);
    }
    return ok;
  }
  // The engine text of one numbered insert of the library into table: the
  // table lock that serialises numbering writers, then the insert, in one
  // implicit transaction.
  static std::string NumberedText(std::string tsql, const std::string& table) {
    RawSqliteWriter::Replace(&tsql, "isnull(", "coalesce(");
    RawSqliteWriter::Replace(&tsql, " with (holdlock)", "");
    return "lock table " + table + " in share row exclusive mode; " + tsql;
  }
  // Loads trades first..last with one COPY FROM STDIN.
  void Load(const std::string& table, long first, long last) const;

 private:
  const PgScratch& db_;
};

inline RawSqliteWriter RawWriter(const SqliteScratch& db) {
  return RawSqliteWriter(db);
}
inline RawPgWriter RawWriter(const PgScratch& db) {
  return RawPgWriter(db);
}

}  // namespace kestal::bench
