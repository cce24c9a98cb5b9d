// Dialect choice and the SQLite extension entry point (see Dialect.h).
#include "sql/db/odbc/Dialect.h"

#include <dlfcn.h>
#include <sqlite3.h>
#include <strings.h>

#include <cstring>

#include "sql/db/ComError.h"
#include "sql/db/postgres/Catalog.h"
#include "sql/db/postgres/Dialect.h"
#include "sql/db/sqlite/BulkLoad.h"
#include "sql/db/sqlite/Catalog.h"
#include "sql/db/sqlite/Dialect.h"
#include "sql/db/sqlite/Functions.h"
#include "sql/db/tsql/Lexer.h"

namespace kestal::db::odbc {
namespace {

bool Contains(const std::string& text, const char* part) {
  const size_t n = std::strlen(part);
  for (size_t i = 0; i + n <= text.size(); ++i) {
    if (strncasecmp(text.c_str() + i, part, n) == 0) return true;
  }
  return false;
}

// True when statement starts with BULK INSERT.
bool IsBulkInsert(const std::string& statement) {
  std::vector<const tsql::Token*> words;
  const std::vector<tsql::Token> tokens = tsql::Lex(statement);
  for (const tsql::Token& t : tokens) {
    if (tsql::IsBlank(t)) continue;
    words.push_back(&t);
    if (words.size() == 2) break;
  }
  return words.size() == 2 && tsql::IsWord(*words[0], "bulk") && tsql::IsWord(*words[1], "insert");
}

// SQL function kestal_reseed(table, seed): DBCC CHECKIDENT on the
// connection the driver holds, by the native engine's own code.
void ReseedFunction(sqlite3_context* context, int, sqlite3_value** argv) {
  const unsigned char* table = sqlite3_value_text(argv[0]);
  try {
    sqlite::Reseed(sqlite3_context_db_handle(context),
                   table ? reinterpret_cast<const char*>(table) : "", sqlite3_value_int64(argv[1]));
  } catch (const _com_error& e) {
    sqlite3_result_error(context, e.Description().c_str(), -1);
  }
}

// SQL function kestal_bulk_insert(table, path, field terminator, row
// terminator, first row, keep identity): BULK INSERT by the native engine's
// loader (one transaction, all rows or none).
void BulkInsertFunction(sqlite3_context* context, int, sqlite3_value** argv) {
  auto text = [argv](int i) {
    const unsigned char* t = sqlite3_value_text(argv[i]);
    return t ? std::string(reinterpret_cast<const char*>(t)) : std::string();
  };
  tsql::BulkInsertRequest request;
  request.table = text(0);
  request.path = text(1);
  request.field_terminator = text(2);
  request.row_terminator = text(3);
  request.first_row = static_cast<long>(sqlite3_value_int64(argv[4]));
  request.keep_identity = sqlite3_value_int(argv[5]) != 0;
  try {
    sqlite::BulkLoad(sqlite3_context_db_handle(context), request);
  } catch (const _com_error& e) {
    sqlite3_result_error(context, e.Description().c_str(), -1);
  }
}

}  // namespace

Server ServerFromDbmsName(const std::string& dbms_name) {
  if (Contains(dbms_name, "SQL Server")) return Server::kSqlServer;
  if (Contains(dbms_name, "PostgreSQL")) return Server::kPostgres;
  if (Contains(dbms_name, "SQLite")) return Server::kSqlite;
  throw _com_error(kConnectionError,
                   CString("ODBC: the server '" + dbms_name +
                           "' is not supported (Microsoft SQL Server, PostgreSQL or SQLite)"));
}

const char* ServerName(Server server) {
  switch (server) {
    case Server::kSqlServer:
      return "SQL Server";
    case Server::kPostgres:
      return "PostgreSQL";
    case Server::kSqlite:
      return "SQLite";
  }
  return "?";
}

tsql::Statement RewriteFor(Server server, const std::string& statement, tsql::Schema* schema) {
  switch (server) {
    case Server::kSqlServer: {
      if (IsBulkInsert(statement)) {
        // Parsed by the shared rewriter; any dialect reads BULK INSERT alike.
        return tsql::Rewrite(statement, sqlite::SqliteDialect());
      }
      tsql::Statement passed;
      passed.sql = statement;
      return passed;
    }
    case Server::kPostgres: {
      tsql::Statement st = tsql::Rewrite(statement, postgres::PostgresDialect(), schema);
      if (st.kind == tsql::StatementKind::kSql) st.sql = postgres::RewriteCatalog(st.sql);
      return st;
    }
    case Server::kSqlite:
      return tsql::Rewrite(statement, sqlite::SqliteDialect(), schema);
  }
  return tsql::Statement();
}

std::string JoinStatements(const std::vector<std::string>& statements) {
  std::string text;
  for (const std::string& sql : statements) {
    if (!text.empty()) text += ";\n";
    text += sql;
  }
  return text;
}

std::vector<tsql::Statement> PlanSqlServerBatch(const std::string& batch) {
  std::vector<tsql::Statement> plan;
  std::vector<std::string> run;
  bool cut = false;
  for (const std::string& text : tsql::SplitBatch(batch)) {
    tsql::Statement st = RewriteFor(Server::kSqlServer, text);
    if (st.kind == tsql::StatementKind::kSql) {
      run.push_back(text);
      continue;
    }
    cut = true;
    if (!run.empty()) {
      tsql::Statement part;
      part.sql = JoinStatements(run);
      plan.push_back(std::move(part));
      run.clear();
    }
    plan.push_back(std::move(st));
  }
  if (!run.empty()) {
    tsql::Statement part;
    part.sql = cut ? JoinStatements(run) : batch;
    plan.push_back(std::move(part));
  }
  return plan;
}

bool TakesBatches(Server server) {
  return server != Server::kSqlite;
}

std::string ExtensionPath() {
  Dl_info info;
  if (dladdr(reinterpret_cast<void*>(&ExtensionPath), &info) == 0 || info.dli_fname == nullptr) {
    return std::string();
  }
  return info.dli_fname;
}

}  // namespace kestal::db::odbc

// Entry point SQLite looks up when SQLite's ODBC driver loads this library
// (LoadExt=): registers the native engine's functions, collation and
// catalogue views on the driver's connection. SQLite and this library share
// one libsqlite3, so the connection is used directly. Returns SQLITE_OK or
// SQLITE_ERROR with *error set.
extern "C" __attribute__((visibility("default"))) int sqlite3_kestal_init(
    sqlite3* db, char** error, const struct sqlite3_api_routines* /*api*/) {
  try {
    kestal::db::sqlite::RegisterFunctions(db);
    kestal::db::sqlite::CreateCatalogViews(db);
    // "name" is a name, never a string, as on the native engine.
    sqlite3_db_config(db, SQLITE_DBCONFIG_DQS_DML, 0, nullptr);
    sqlite3_db_config(db, SQLITE_DBCONFIG_DQS_DDL, 0, nullptr);
    sqlite3_create_function(db, "kestal_reseed", 2, SQLITE_UTF8, nullptr,
                            kestal::db::odbc::ReseedFunction, nullptr, nullptr);
    sqlite3_create_function(db, "kestal_bulk_insert", 6, SQLITE_UTF8, nullptr,
                            kestal::db::odbc::BulkInsertFunction, nullptr, nullptr);
  } catch (const _com_error& e) {
    if (error != nullptr) *error = sqlite3_mprintf("%s", e.Description().c_str());
    return SQLITE_ERROR;
  }
  return SQLITE_OK;
}
