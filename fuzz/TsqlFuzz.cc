// Fuzz target: the T-SQL lexer, batch splitter and rewriter, for the SQLite
// and the PostgreSQL dialect, with the SQLite text run on a fresh in-memory
// database that has the engine's functions, catalog views and two small
// tables; then the whole batch through the SQLite engine session, as the
// library runs it (set rowcount, reseeds, the catalog, value conversion).
//
// What must hold: the tokens give the text back byte for byte, at their
// offsets; a quoted literal lexes back to its value; every failure is a
// _com_error with a statement or not-supported status, never another
// exception; the statements of a batch each lex cleanly; every rewritten
// text lexes cleanly and rewriting is repeatable; SQLite runs or refuses the
// text without crashing, and the database stays sound; the engine session
// raises nothing but _com_error and answers a plain query after any batch.
//
// Every SQLite connection of the process, the session's too, gets the same
// bounds from an auto extension: a step budget per input, a value size
// limit, no ATTACH, no writable_schema, and defensive mode.
#include <sqlite3.h>
#include <strings.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "sql/db/ComError.h"
#include "sql/db/ConnectionString.h"
#include "sql/db/Engine.h"
#include "sql/db/sqlite/Catalog.h"
#include "sql/db/sqlite/Dialect.h"
#include "sql/db/sqlite/Functions.h"
#include "sql/db/tsql/Lexer.h"
#include "sql/db/tsql/Rewriter.h"
#ifdef KESTAL_WITH_POSTGRES
#include "sql/db/postgres/Dialect.h"
#endif

namespace tsql = kestal::db::tsql;
using kestal::db::kNotSupported;
using kestal::db::kStatementError;

namespace {

// Larger inputs only repeat what small ones show, and the rewriter's cost
// grows faster than the length for some constructs.
constexpr size_t kMaxInput = 2048;

// Progress-handler ticks (1,000 steps each) left for the current phase.
long g_budget = 0;

// Stops statements that would run for long (recursive queries, huge joins).
int Interrupt(void*) {
  return --g_budget < 0;
}

// Refuses what would reach outside the in-memory database or damage it on
// purpose: attaching files and writable_schema.
int Authorize(void*, int action, const char* arg1, const char*, const char*, const char*) {
  if (action == SQLITE_ATTACH || action == SQLITE_DETACH) return SQLITE_DENY;
  if (action == SQLITE_PRAGMA && arg1 && strcasecmp(arg1, "writable_schema") == 0) {
    return SQLITE_DENY;
  }
  return SQLITE_OK;
}

// The bounds of every connection (see the top of the file).
int LimitConnection(sqlite3* db, char**, const void*) {
  sqlite3_limit(db, SQLITE_LIMIT_LENGTH, 100000);
  sqlite3_db_config(db, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
  sqlite3_set_authorizer(db, Authorize, nullptr);
  sqlite3_progress_handler(db, 1000, Interrupt, nullptr);
  return SQLITE_OK;
}

// Two small tables in the shape of the library's.
const char* const kSchema =
    "CREATE TABLE WTK (rec_num INTEGER PRIMARY KEY AUTOINCREMENT, STOCK varchar(6), "
    "PRICE decimal(10,3), QTY int, WTTIME varchar(8), MEMO varchar(20));"
    "CREATE TABLE CJK (ID INTEGER PRIMARY KEY, STOCK varchar(6), CJTIME datetime, AMT float);"
    "INSERT INTO WTK (STOCK, PRICE, QTY, WTTIME, MEMO) VALUES "
    "('600000', 10.5, 100, '09:30:00', 'a'), ('000001', 0, -5, '14:59:59', NULL),"
    "('', 1e10, 2147483647, '', 'x y ');"
    "INSERT INTO CJK VALUES (1, '600000', '2026-12-07 09:30:15.123', 1.25), "
    "(2, NULL, '1900-01-01 00:00:00.000', -0.0)";

// True when a statement would write or read files outside the database:
// VACUUM INTO 'path', BULK INSERT from a path.
bool TouchesFiles(const char* sql, size_t length) {
  std::string lower(sql, length);
  for (char& c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return lower.find("vacuum") != std::string::npos || lower.find("bulk") != std::string::npos;
}

std::string Hex(HRESULT status) {
  char text[16];
  snprintf(text, sizeof text, "%08x", static_cast<unsigned>(status));
  return text;
}

// A failure of the access layer must carry one of the statuses allowed.
void CheckStatus(const _com_error& e, bool notSupportedAllowed, const std::string& where) {
  const bool ok =
      e.Error() == kStatementError || (notSupportedAllowed && e.Error() == kNotSupported);
  FUZZ_CHECK(ok, where + " raised status " + Hex(e.Error()) + ": " + e.Description().c_str());
  FUZZ_CHECK(!e.Description().IsEmpty(), where + " raised " + Hex(e.Error()) + " without a text");
}

// Lexes text and checks that the tokens cover it exactly. False when the
// lexer refused it.
bool LexCovers(const std::string& text, const std::string& where, std::vector<tsql::Token>* out) {
  std::vector<tsql::Token> tokens;
  try {
    tokens = tsql::Lex(text);
  } catch (const _com_error& e) {
    CheckStatus(e, false, where);
    return false;
  }
  size_t at = 0;
  for (const tsql::Token& t : tokens) {
    FUZZ_CHECK(!t.text.empty(), where + ": empty token at " + std::to_string(at));
    FUZZ_CHECK(t.offset == at,
               where + ": token offset " + std::to_string(t.offset) + " at " + std::to_string(at));
    FUZZ_CHECK(text.compare(at, t.text.size(), t.text) == 0,
               where + ": token text at " + std::to_string(at));
    at += t.text.size();
  }
  FUZZ_CHECK(at == text.size(), where + ": tokens end at " + std::to_string(at));
  if (out) *out = std::move(tokens);
  return true;
}

// Runs every statement of sql on db, stepping through at most a bounded
// number of rows; errors of the statements themselves are expected.
void RunOnSqlite(sqlite3* db, const std::string& sql) {
  const char* tail = sql.c_str();
  const char* end = tail + sql.size();
  while (tail < end) {
    sqlite3_stmt* stmt = nullptr;
    const char* next = nullptr;
    if (sqlite3_prepare_v2(db, tail, static_cast<int>(end - tail), &stmt, &next) != SQLITE_OK) {
      sqlite3_finalize(stmt);
      return;
    }
    if (stmt == nullptr) return;  // only blanks or comments left
    if (TouchesFiles(tail, static_cast<size_t>(next - tail))) {
      sqlite3_finalize(stmt);
      return;
    }
    int rows = 0;
    while (sqlite3_step(stmt) == SQLITE_ROW && ++rows < 200) {
      for (int c = 0; c < sqlite3_column_count(stmt); ++c) {
        const unsigned char* text = sqlite3_column_text(stmt, c);
        const int bytes = sqlite3_column_bytes(stmt, c);
        FUZZ_CHECK(text == nullptr ||
                       static_cast<int>(strlen(reinterpret_cast<const char*>(text))) <= bytes,
                   "column text longer than its byte count");
      }
    }
    sqlite3_finalize(stmt);
    if (next == tail) return;
    tail = next;
  }
}

sqlite3* OpenDatabase() {
  sqlite3* db = nullptr;
  FUZZ_CHECK(sqlite3_open_v2(":memory:", &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                             nullptr) == SQLITE_OK,
             "open :memory:");
  sqlite3_db_config(db, SQLITE_DBCONFIG_DQS_DML, 0, nullptr);
  sqlite3_db_config(db, SQLITE_DBCONFIG_DQS_DDL, 0, nullptr);
  try {
    kestal::db::sqlite::RegisterFunctions(db);
    kestal::db::sqlite::CreateCatalogViews(db);
  } catch (const _com_error& e) {
    FUZZ_CHECK(false, std::string("engine set-up: ") + e.Description().c_str());
  }
  FUZZ_CHECK(sqlite3_exec(db, kSchema, nullptr, nullptr, nullptr) == SQLITE_OK, sqlite3_errmsg(db));
  return db;
}

// True when db passes SQLite's own consistency check.
void CheckSound(sqlite3* db) {
  g_budget = 1 << 20;
  sqlite3_stmt* check = nullptr;
  if (sqlite3_prepare_v2(db, "PRAGMA quick_check", -1, &check, nullptr) == SQLITE_OK &&
      sqlite3_step(check) == SQLITE_ROW) {
    const char* result = reinterpret_cast<const char*>(sqlite3_column_text(check, 0));
    FUZZ_CHECK(result && strcmp(result, "ok") == 0,
               std::string("quick_check: ") + (result ? result : "null"));
  }
  sqlite3_finalize(check);
}

// The batch through the SQLite engine session, as Connection::Execute sends it.
void RunOnSession(const std::string& batch) {
  g_budget = 1 << 20;
  std::unique_ptr<kestal::db::EngineSession> session;
  try {
    session = kestal::db::OpenEngine(
        kestal::db::ConnectionString::Parse("Provider=SQLite;Data Source=:memory:;Create=yes"), 5);
    session->Execute(kSchema);
  } catch (const _com_error& e) {
    FUZZ_CHECK(false, std::string("session set-up: ") + e.Description().c_str());
  }
  g_budget = 20000;
  try {
    session->Execute(batch);
  } catch (const _com_error& e) {
    FUZZ_CHECK(!e.Description().IsEmpty(), "session error " + Hex(e.Error()) + " without a text");
  } catch (const std::exception& e) {
    FUZZ_CHECK(false, std::string("session threw ") + e.what());
  }
  g_budget = 1 << 20;
  try {
    std::unique_ptr<kestal::db::ResultTable> rows = session->Execute("select 1 as one");
    FUZZ_CHECK(rows && rows->RowCount() == 1 && rows->Text(0, 0) == "1",
               "a plain query after the batch gave no row");
  } catch (const _com_error& e) {
    FUZZ_CHECK(false, std::string("session unusable after the batch: ") + e.Description().c_str());
  }
}

// Rewrites statement for dialect and checks the result; the SQLite text is
// also run on db when db is given.
void RewriteOne(const std::string& statement, const tsql::Dialect& dialect, sqlite3* db) {
  const std::string where = std::string("rewrite for ") + dialect.name;
  tsql::Statement st;
  try {
    st = tsql::Rewrite(statement, dialect);
  } catch (const _com_error& e) {
    CheckStatus(e, true, where);
    return;
  } catch (const std::exception& e) {
    FUZZ_CHECK(false, where + " threw " + e.what());
  }
  if (st.kind != tsql::StatementKind::kSql) return;
  FUZZ_CHECK(LexCovers(st.sql, where + " (output lexed)", nullptr),
             where + " gave text that does not lex: " + st.sql);
  tsql::Statement again = tsql::Rewrite(statement, dialect);
  FUZZ_CHECK(again.sql == st.sql, where + " is not repeatable");
  if (db) RunOnSqlite(db, st.sql);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  sqlite3_auto_extension(reinterpret_cast<void (*)()>(LimitConnection));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kMaxInput) return 0;
  const std::string text(reinterpret_cast<const char*>(data), size);

  // A literal holding any bytes lexes back to exactly those bytes.
  std::vector<tsql::Token> quoted;
  FUZZ_CHECK(LexCovers(tsql::QuoteString(text), "quoted literal", &quoted),
             "a literal does not lex");
  FUZZ_CHECK(
      quoted.size() == 1 && quoted[0].kind == tsql::TokenKind::kString && quoted[0].value == text,
      "a quoted literal does not lex back to its value");

  if (!LexCovers(text, "lex", nullptr)) return 0;
  std::vector<std::string> statements;
  try {
    statements = tsql::SplitBatch(text);
  } catch (const _com_error& e) {
    CheckStatus(e, false, "split");
    return 0;
  }
  g_budget = 1 << 20;
  sqlite3* db = OpenDatabase();
  g_budget = 20000;
  for (const std::string& statement : statements) {
    FUZZ_CHECK(LexCovers(statement, "statement lexed", nullptr), "a split statement does not lex");
    RewriteOne(statement, kestal::db::sqlite::SqliteDialect(), db);
#ifdef KESTAL_WITH_POSTGRES
    RewriteOne(statement, kestal::db::postgres::PostgresDialect(), nullptr);
#endif
  }
  CheckSound(db);
  sqlite3_close_v2(db);

  if (!TouchesFiles(text.data(), text.size())) RunOnSession(text);
  return 0;
}
