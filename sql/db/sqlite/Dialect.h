// The T-SQL rewriter's settings and hooks for SQLite.
#pragma once

#include "sql/db/tsql/Dialect.h"

namespace kestal::db::sqlite {

const tsql::Dialect& SqliteDialect();

}  // namespace kestal::db::sqlite
