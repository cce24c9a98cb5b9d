// Which SQL a connection speaks follows the server it reached
// (SQLGetInfo(SQL_DBMS_NAME)): Microsoft SQL Server gets the library's T-SQL
// exactly as written; PostgreSQL and SQLite get the rewrites of those
// engines' own dialects, shared with the native engines.
//
// Behind SQLite's ODBC driver the rewritten SQL needs the functions, the
// collation and the catalogue views the native SQLite engine registers. The
// driver loads them from this library itself as a SQLite extension
// (LoadExt=, entry point sqlite3_kestal_init), so both engines run one copy
// of that code.
#pragma once

#include <string>
#include <vector>

#include "sql/db/tsql/Rewriter.h"

namespace kestal::db::odbc {

enum class Server { kSqlServer, kPostgres, kSqlite };

// The server for a SQL_DBMS_NAME. Raises _com_error(kConnectionError) for a
// server this engine has no dialect for, naming it.
Server ServerFromDbmsName(const std::string& dbms_name);

// "SQL Server", "PostgreSQL", "SQLite": for messages.
const char* ServerName(Server server);

// One statement of a batch (see tsql::SplitBatch) as it goes to server. On
// SQL Server every statement is kSql with the text exactly as written, except
// BULK INSERT, which comes out as the request (the client streams the file).
// schema is the server's catalog as the native engine reads it (null: names
// and column types unknown). Raises like tsql::Rewrite.
tsql::Statement RewriteFor(Server server, const std::string& statement,
                           tsql::Schema* schema = nullptr);

// What a batch sends to SQL Server: the batch text exactly as written, in one
// piece, when it holds no BULK INSERT; otherwise the runs of statements
// between BULK INSERTs (joined with ";\n", each run's statements as written)
// and the BULK INSERT requests, in order. Raises like tsql::SplitBatch.
std::vector<tsql::Statement> PlanSqlServerBatch(const std::string& batch);

// The statements joined into one text with ";\n" (a newline ends a trailing
// -- comment).
std::string JoinStatements(const std::vector<std::string>& statements);

// True when the server's driver takes several statements in one
// SQLExecDirect (SQLite's driver refuses them).
bool TakesBatches(Server server);

// The file of this library, for LoadExt= of SQLite's ODBC driver. Empty
// when it cannot be found.
std::string ExtensionPath();

}  // namespace kestal::db::odbc
