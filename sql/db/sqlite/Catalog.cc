#include "sql/db/sqlite/Catalog.h"

#include <string.h>
#include <strings.h>

#include <cstdlib>

#include "sql/db/ComError.h"
#include "sql/db/sqlite/Handle.h"

namespace kestal::db::sqlite {
namespace {

// sysobjects: user tables ('U') and views ('V'); id is the row of the object
// in sqlite_schema, the key that syscolumns.id refers to. Names compare
// without regard to case, as in a case-insensitive SQL Server collation.
const char kSysobjects[] =
    "CREATE TEMP VIEW IF NOT EXISTS sysobjects AS "
    "SELECT name COLLATE NOCASE AS name, rowid AS id, "
    "CASE type WHEN 'view' THEN 'V' ELSE 'U' END AS xtype, "
    "CASE type WHEN 'view' THEN 'V' ELSE 'U' END AS type, "
    "1 AS uid, 0 AS parent_obj, NULL AS crdate "
    "FROM main.sqlite_schema WHERE type IN ('table','view') "
    "AND name NOT LIKE 'sqlite\\_%' ESCAPE '\\'";

// syscolumns: one row per column, in column order, with SQL Server's type
// codes and storage lengths, and the precision and scale a value may have
// (sql/db/TYPES.md).
const char kSyscolumns[] =
    "CREATE TEMP VIEW IF NOT EXISTS syscolumns AS "
    "SELECT m.rowid AS id, p.cid + 1 AS colid, p.name COLLATE NOCASE AS name, "
    "kestal_type_code(p.type) AS type, kestal_type_code(p.type) AS xtype, "
    "kestal_type_length(p.type) AS length, "
    "kestal_type_prec(p.type) AS prec, kestal_type_scale(p.type) AS scale, "
    "CASE WHEN p.\"notnull\" THEN 0 ELSE 1 END AS isnullable "
    "FROM main.sqlite_schema AS m JOIN pragma_table_info(m.name, 'main') AS p "
    "WHERE m.type IN ('table','view') AND m.name NOT LIKE 'sqlite\\_%' ESCAPE '\\' "
    "ORDER BY m.rowid, p.cid";

}  // namespace

void CreateCatalogViews(sqlite3* db) {
  Exec(db, kSysobjects);
  Exec(db, kSyscolumns);
}

bool FindTable(sqlite3* db, const std::string& name, TableInfo* info) {
  {
    Stmt st(db,
            "SELECT name, sql FROM main.sqlite_schema WHERE type = 'table' "
            "AND name = ?1 COLLATE NOCASE");
    st.BindText(1, name);
    if (!st.Step()) return false;
    info->name = st.Text(0);
    const std::string sql = st.Text(1);
    // AUTOINCREMENT can only appear in the definition of an INTEGER PRIMARY
    // KEY column; a table without it has no sqlite_sequence row to keep.
    info->autoincrement = false;
    for (size_t i = 0; i + 13 <= sql.size(); ++i) {
      if (strncasecmp(sql.c_str() + i, "autoincrement", 13) == 0) info->autoincrement = true;
    }
  }
  Stmt cols(db, "SELECT name, type, pk FROM pragma_table_info(?1, 'main') ORDER BY cid");
  cols.BindText(1, info->name);
  info->columns.clear();
  info->identity = -1;
  while (cols.Step()) {
    TableInfo::Column c{cols.Text(0), cols.Text(1), sqlite3_column_int(cols.get(), 2) == 1};
    if (info->autoincrement && c.primary_key && strcasecmp(c.declared.c_str(), "integer") == 0) {
      info->identity = static_cast<int>(info->columns.size());
    }
    info->columns.push_back(std::move(c));
  }
  return true;
}

CatalogSchema::CatalogSchema(sqlite3* db) : db_(db) {
  query_ = [db](const char* sql, const std::string& param) {
    Stmt st(db, sql);
    if (sqlite3_bind_parameter_count(st.get()) > 0) st.BindText(1, param);
    std::vector<std::vector<std::string>> rows;
    while (st.Step()) {
      std::vector<std::string>& row = rows.emplace_back();
      for (int i = 0; i < sqlite3_column_count(st.get()); ++i) row.push_back(st.Text(i));
    }
    return rows;
  };
}

CatalogSchema::~CatalogSchema() {
  sqlite3_finalize(version_stmt_);
}

long long CatalogSchema::ReadVersion() {
  if (!db_) {
    const auto version = query_("PRAGMA schema_version", std::string());
    return version.empty() || version[0].empty() ? -1 : std::atoll(version[0][0].c_str());
  }
  // Asked before every statement: prepared once, kept for the session.
  if (!version_stmt_ &&
      sqlite3_prepare_v3(db_, "PRAGMA schema_version", -1, SQLITE_PREPARE_PERSISTENT,
                         &version_stmt_, nullptr) != SQLITE_OK) {
    sqlite3_finalize(version_stmt_);
    version_stmt_ = nullptr;
    Raise(db_, sqlite3_errcode(db_));
  }
  const int rc = sqlite3_step(version_stmt_);
  const long long version = rc == SQLITE_ROW ? sqlite3_column_int64(version_stmt_, 0) : -1;
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
    // Read the error text before reset clears it.
    struct ResetOnExit {
      sqlite3_stmt* st;
      ~ResetOnExit() { sqlite3_reset(st); }
    } reset{version_stmt_};
    Raise(db_, rc);
  }
  sqlite3_reset(version_stmt_);
  return version;
}

long long CatalogSchema::Generation() {
  if (!checked_) {
    const long long now = ReadVersion();
    if (now != version_) shapes_.clear();
    version_ = now;
    checked_ = true;
  }
  return version_;
}

const tsql::TableShape* CatalogSchema::Table(const std::string& name) {
  Generation();
  std::string key = name;
  for (char& c : key) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  auto found = shapes_.find(key);
  if (found != shapes_.end()) return found->second.get();
  std::unique_ptr<tsql::TableShape> shape;
  const auto table = query_(
      "SELECT name FROM main.sqlite_schema WHERE type IN ('table', 'view') "
      "AND name = ?1 COLLATE NOCASE",
      name);
  if (!table.empty() && !table[0].empty()) {
    shape = std::make_unique<tsql::TableShape>();
    shape->name = table[0][0];
    for (const auto& col :
         query_("SELECT name, type FROM pragma_table_info(?1, 'main') ORDER BY cid", shape->name)) {
      const std::string declared = col.size() > 1 ? col[1] : std::string();
      // SQLite's rule for text affinity.
      const bool character = strcasestr(declared.c_str(), "char") != nullptr ||
                             strcasestr(declared.c_str(), "clob") != nullptr ||
                             strcasestr(declared.c_str(), "text") != nullptr;
      shape->columns.push_back({col.empty() ? std::string() : col[0], character});
    }
  }
  return (shapes_[key] = std::move(shape)).get();
}

void Reseed(sqlite3* db, const std::string& table, long long seed) {
  TableInfo info;
  if (!FindTable(db, table, &info)) {
    throw _com_error(kStatementError,
                     CString("Cannot find a table or object with the name '" + table + "'."));
  }
  if (info.identity < 0) {
    throw _com_error(kStatementError,
                     CString("'" + info.name + "' does not contain an identity column."));
  }
  WriteTransaction tx(db);
  {
    Stmt up(db, "UPDATE main.sqlite_sequence SET seq = ?1 WHERE name = ?2");
    up.BindInt(1, seed);
    up.BindText(2, info.name);
    up.Step();
  }
  if (sqlite3_changes(db) == 0) {
    Stmt ins(db, "INSERT INTO main.sqlite_sequence (name, seq) VALUES (?1, ?2)");
    ins.BindText(1, info.name);
    ins.BindInt(2, seed);
    ins.Step();
  }
  tx.Commit();
}

}  // namespace kestal::db::sqlite
