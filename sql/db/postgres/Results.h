// Rows of a PostgreSQL result as the access layer's ResultTable: every value
// as text, timestamps as 'YYYY-MM-DD HH:MM:SS' and booleans as 1 / 0, the way
// the other engines give them.
#pragma once

#include <libpq-fe.h>

#include <memory>

#include "sql/db/Engine.h"

namespace kestal::db::postgres {

// Copies the rows of a PGRES_TUPLES_OK result, at most limit rows when limit
// is positive ("set rowcount").
std::unique_ptr<ResultTable> ToResultTable(const PGresult* result, long limit);

}  // namespace kestal::db::postgres
