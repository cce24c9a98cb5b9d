// The SQL Server system tables sysobjects and syscolumns on PostgreSQL, as
// derived tables over pg_class and pg_attribute. Type codes and lengths are
// the ones syscolumns gives (see sql/db/TYPES.md), so that a field table
// comes out the same on every engine.
#pragma once

#include <libpq-fe.h>

#include <chrono>
#include <functional>
#include <map>
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
// name without regard to case) and kept until Invalidate (after DDL or a
// failed statement of the session); a name the catalog lacks is asked again
// when its answer is more than a second old, so that a table another session
// has just made is found. A column is character when its type (a domain's
// base type) is of the string category. The catalog is read only when
// may_query says the connection is free; otherwise what was read before is
// used, and a name never read counts as unknown.
class CatalogSchema : public tsql::Schema {
 public:
  CatalogSchema(PGconn* conn, std::function<bool()> may_query)
      : conn_(conn), may_query_(std::move(may_query)) {}
  // Called before each statement is rewritten: shapes handed out for the
  // previous statement may go.
  void NewStatement() { retired_.clear(); }
  // Every name is read again at its next lookup.
  void Invalidate() { stale_ = true; }
  const tsql::TableShape* Table(const std::string& name) override;

 private:
  // The tables whose names equal one name without regard to case.
  struct Entry {
    std::vector<tsql::TableShape> variants;
    std::chrono::steady_clock::time_point read;
  };
  std::unique_ptr<Entry> Read(const std::string& name);

  PGconn* conn_;
  std::function<bool()> may_query_;
  std::map<std::string, std::unique_ptr<Entry>> entries_;  // by lower-case name
  // Entries replaced while a statement was being rewritten, kept for it.
  std::vector<std::unique_ptr<Entry>> retired_;
  bool stale_ = false;
};

// The derived-table queries, for tests and tools.
const std::string& SysobjectsQuery();
const std::string& SyscolumnsQuery();

}  // namespace kestal::db::postgres
