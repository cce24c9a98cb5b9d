// The SQL Server system tables sysobjects and syscolumns on PostgreSQL, as
// derived tables over pg_class and pg_attribute. Type codes and lengths are
// the ones syscolumns gives (see sql/db/TYPES.md), so that a field table
// comes out the same on every engine.
#pragma once

#include <libpq-fe.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sql/db/tsql/Schema.h"

namespace kestal::db::postgres {

// Rewrites an already translated statement that reads sysobjects or
// syscolumns: each table reference becomes the derived table (keeping the
// name as its alias), and "name = 'x'" / "name like 'x'" compare without
// regard to case, as names do on SQL Server. Other statements come back
// unchanged.
std::string RewriteCatalog(const std::string& sql);

// The rewriter's view of the server's tables (tsql/Schema.h), read table by
// table on first use (one catalog query for all tables whose names equal the
// name without regard to case). What is read is shared by every session of
// the process on the same server, database and user, so that a reconnection
// does not read it again; it is kept until a session of theirs runs DDL or
// has a statement fail (Invalidate), and a name the catalog lacks is asked
// again when its answer is more than a second old, so that a table another
// program has just made is found. A column is character when its type (a
// domain's base type) is of the string category. The catalog is read only
// when may_query says the connection is free; otherwise a name not read yet
// counts as unknown.
class CatalogSchema : public tsql::Schema {
 public:
  // The tables whose names equal one name without regard to case.
  struct Entry {
    std::vector<tsql::TableShape> variants;
    std::chrono::steady_clock::time_point read;
  };

  // One row of ShapesQuery: the relation, its column (empty with
  // has_column false for a relation without columns) and whether the
  // column holds character data.
  struct ShapeRow {
    std::string relation;
    bool has_column = false;
    std::string column;
    bool character = false;
  };
  // Runs ShapesQuery for one name on the session's connection.
  using ShapeReader = std::function<std::vector<ShapeRow>(const std::string& name)>;

  CatalogSchema(PGconn* conn, std::function<bool()> may_query);
  // Over a connection of another client (the ODBC engine's psqlODBC): scope
  // names the server, database and user as the shared shapes key them.
  CatalogSchema(std::string scope, ShapeReader read, std::function<bool()> may_query);
  // Called before each statement is rewritten: shapes handed out for the
  // previous statement may go.
  void NewStatement() { held_.clear(); }
  // Every name of this server, database and user is read again at its next
  // lookup, by every session of the process.
  void Invalidate();
  const tsql::TableShape* Table(const std::string& name) override;

 private:
  std::shared_ptr<const Entry> Read(const std::string& name);

  ShapeReader read_;
  std::function<bool()> may_query_;
  std::string scope_;  // server, database and user: the key prefix of the shared shapes
  // The entries handed out for the statement being rewritten.
  std::vector<std::shared_ptr<const Entry>> held_;
};

// The query of the shapes of the relations whose names equal $1 without
// regard to case: relation, column (null for none), character ('t' or 'f').
const std::string& ShapesQuery();

// The derived-table queries, for tests and tools.
const std::string& SysobjectsQuery();
const std::string& SyscolumnsQuery();

}  // namespace kestal::db::postgres
