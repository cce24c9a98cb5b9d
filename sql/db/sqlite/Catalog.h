// SQL Server's catalog on SQLite: sysobjects and syscolumns as temporary
// views of each connection, table lookup without regard to case, and
// identity reseeding over sqlite_sequence.
#pragma once

#include <sqlite3.h>

#include <string>
#include <vector>

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

// DBCC CHECKIDENT (table, RESEED, seed): the next identity value becomes
// seed + 1. Raises kStatementError for an unknown table or one without an
// identity column.
void Reseed(sqlite3* db, const std::string& table, long long seed);

}  // namespace kestal::db::sqlite
