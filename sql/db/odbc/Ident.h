// Identity reseeding (DBCC CHECKIDENT ... RESEED) on the servers that do not
// take it natively, by the native engines' own means: PostgreSQL's identity
// sequence, SQLite's sqlite_sequence (through the function the SQLite
// extension adds, which runs the native engine's code).
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "sql/db/Engine.h"
#include "sql/db/odbc/Dialect.h"

namespace kestal::db::odbc {

// Runs one SQL statement on the session and returns its rows (null when it
// yields none); raises the mapped error.
using SqlRunner = std::function<std::unique_ptr<ResultTable>(const std::string& sql)>;

// Makes the next identity value of table seed + 1. Raises
// _com_error(kStatementError) for an unknown table or one without an
// identity column, with SQL Server's messages.
void Reseed(Server server, const std::string& table, long long seed, const SqlRunner& run);

}  // namespace kestal::db::odbc
