// The SQL Server system tables sysobjects and syscolumns on PostgreSQL, as
// derived tables over pg_class and pg_attribute. Type codes and lengths are
// the ones syscolumns gives (see sql/db/TYPES.md), so that a field table
// comes out the same on every engine.
#pragma once

#include <string>

namespace kestal::db::postgres {

// Rewrites an already translated statement that reads sysobjects or
// syscolumns: each table reference becomes the derived table (keeping the
// name as its alias), and "name = 'x'" / "name like 'x'" compare without
// regard to case, as names do on SQL Server. Other statements come back
// unchanged.
std::string RewriteCatalog(const std::string& sql);

// The derived-table queries, for tests and tools.
const std::string& SysobjectsQuery();
const std::string& SyscolumnsQuery();

}  // namespace kestal::db::postgres
