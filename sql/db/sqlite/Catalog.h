// SQL Server's catalog on SQLite: sysobjects and syscolumns as temporary
// views of each connection, table lookup without regard to case, and
// identity reseeding over sqlite_sequence.
#pragma once

#include <sqlite3.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sql/db/tsql/Schema.h"

namespace kestal::db::sqlite {

// Creates the temporary views sysobjects and syscolumns on db. Needs the
// functions of Functions.h registered first.
void CreateCatalogViews(sqlite3* db);

struct TableInfo {
  std::string name;  // as created
  bool autoincrement = false;
  struct Column {
    std::string name;
    std::string declared;  // declared type text
    bool primary_key = false;
  };
  std::vector<Column> columns;  // in column order
  // Index of the identity column (INTEGER PRIMARY KEY of an AUTOINCREMENT
  // table), or -1.
  int identity = -1;
};

// Looks a table up by name without regard to case. Returns false when there
// is no such table.
bool FindTable(sqlite3* db, const std::string& name, TableInfo* info);

// The rewriter's view of the database's tables (tsql/Schema.h): names
// compare without regard to case; a column is character when its declared
// type gives it text affinity (holds CHAR, CLOB or TEXT). Shapes are kept
// until the schema changes (PRAGMA schema_version), looked at once per
// statement.
class CatalogSchema : public tsql::Schema {
 public:
  // Runs one catalog query, with ?1 standing for param, and gives its rows
  // as text (NULL as empty).
  using Query = std::function<std::vector<std::vector<std::string>>(const char* sql,
                                                                    const std::string& param)>;

  explicit CatalogSchema(sqlite3* db);
  // Over a connection another client holds (SQLite's ODBC driver).
  explicit CatalogSchema(Query query) : query_(std::move(query)) {}
  ~CatalogSchema() override;
  CatalogSchema(const CatalogSchema&) = delete;
  CatalogSchema& operator=(const CatalogSchema&) = delete;
  // Called before each statement is rewritten: the next lookup checks
  // whether the schema has changed since the shapes were read.
  void NewStatement() { checked_ = false; }
  const tsql::TableShape* Table(const std::string& name) override;
  // The schema's version (PRAGMA schema_version) as of this statement, read
  // once after NewStatement; a change also drops the shapes kept.
  long long Generation();

 private:
  // Reads PRAGMA schema_version, through a statement prepared once when
  // this schema owns the connection's view (db_ set). -1 when unreadable.
  long long ReadVersion();

  Query query_;
  sqlite3* db_ = nullptr;
  sqlite3_stmt* version_stmt_ = nullptr;  // finalized before db_ is closed
  bool checked_ = false;
  long long version_ = -1;
  // By lower-case name; null for a name the database does not know.
  std::map<std::string, std::unique_ptr<tsql::TableShape>> shapes_;
};

// DBCC CHECKIDENT (table, RESEED, seed): the next identity value becomes
// seed + 1. Raises kStatementError for an unknown table or one without an
// identity column.
void Reseed(sqlite3* db, const std::string& table, long long seed);

}  // namespace kestal::db::sqlite
