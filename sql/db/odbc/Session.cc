// The ODBC engine session (see Session.h).
#include "sql/db/odbc/Session.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "platform/Codepage.h"
#include "sql/db/FaultInjection.h"
#include "sql/db/odbc/BulkCopy.h"
#include "sql/db/odbc/BulkLoad.h"
#include "sql/db/odbc/Errors.h"
#include "sql/db/odbc/Ident.h"
#include "sql/db/postgres/Dialect.h"
#include "sql/db/postgres/Session.h"
#include "sql/db/tsql/InsertJoin.h"
#include "sql/db/tsql/Lexer.h"

namespace kestal::db::odbc {
namespace {

constexpr const char kSavepoint[] = "kestal_statement";

// Plain writes of a batch go in runs of about this many bytes, their inserts
// joined into multi-row inserts (tsql::JoinPlainInserts): PostgreSQL takes
// 10,000 rows as a score of inserts of hundreds in far less time than as one
// insert, and texts of this size keep the driver's copies of them in reused
// heap rather than in fresh pages for every batch.
constexpr size_t kPieceBytes = 64 * 1024;

std::unique_ptr<EngineSession> OpenOdbc(const ConnectionString& connection, long timeout_seconds) {
  return std::make_unique<Session>(connection, timeout_seconds);
}

bool RegisterAll() {
  for (const char* provider : {"ODBC", "MSDASQL", "SQLOLEDB", "SQLNCLI", "SQLNCLI10", "SQLNCLI11",
                               "MSOLEDBSQL", "MSOLEDBSQL19"}) {
    RegisterEngine(provider, &OpenOdbc);
  }
  return true;
}

const bool kRegistered = RegisterAll();

bool Contains(const std::string& text, const char* part) {
  const size_t n = std::strlen(part);
  for (size_t i = 0; i + n <= text.size(); ++i) {
    if (strncasecmp(text.c_str() + i, part, n) == 0) return true;
  }
  return false;
}

// The first word of sql, lower case.
std::string FirstWord(const std::string& sql) {
  size_t i = sql.find_first_not_of(" \t\r\n(");
  std::string word;
  for (;
       i != std::string::npos && i < sql.size() && std::isalpha(static_cast<unsigned char>(sql[i]));
       ++i) {
    word += static_cast<char>(std::tolower(static_cast<unsigned char>(sql[i])));
  }
  return word;
}

bool UsesSessionFunctions(const std::string& sql) {
  return sql.find("pg_temp.kestal_") != std::string::npos;
}

// A plain INSERT, UPDATE or DELETE needing nothing of the session's own:
// such statements of a batch can share one round trip.
bool IsPlainWrite(const tsql::Statement& st) {
  if (st.kind != tsql::StatementKind::kSql || !st.locked_tables.empty()) return false;
  const std::string word = FirstWord(st.sql);
  return (word == "insert" || word == "update" || word == "delete") &&
         !UsesSessionFunctions(st.sql);
}

// A query or a data statement: anything else (CREATE, ALTER, DROP, ...)
// may change the tables' shapes.
bool IsQueryOrData(const std::string& sql) {
  const std::string word = FirstWord(sql);
  return word == "select" || word == "insert" || word == "update" || word == "delete" ||
         word == "with" || word == "values";
}

// value as an SQL string literal (PostgreSQL with standard strings, SQLite).
std::string Literal(const std::string& value) {
  std::string text = "'";
  for (char c : value) {
    text += c;
    if (c == '\'') text += '\'';
  }
  return text + "'";
}

// sql with each placeholder (PostgreSQL's $1, SQLite's ?1) replaced by
// value as a literal.
std::string BindLiteral(const std::string& sql, const std::string& value) {
  std::string text;
  for (size_t i = 0; i < sql.size(); ++i) {
    if ((sql[i] == '$' || sql[i] == '?') && i + 1 < sql.size() && sql[i + 1] == '1') {
      text += Literal(value);
      ++i;
    } else {
      text += sql[i];
    }
  }
  return text;
}

// SQLite statements that write, and so run in a write transaction begun
// IMMEDIATE; PRAGMA, VACUUM, ATTACH and DETACH refuse any transaction.
bool IsSqliteWrite(const std::string& sql) {
  const std::string word = FirstWord(sql);
  return !(word == "select" || word == "with" || word == "values" || word == "pragma" ||
           word == "vacuum" || word == "attach" || word == "detach" || word == "explain");
}

std::string InfoText(SQLHDBC dbc, SQLUSMALLINT item) {
  char buffer[256] = {0};
  SQLSMALLINT length = 0;
  if (!SQL_SUCCEEDED(SQLGetInfo(dbc, item, buffer, sizeof buffer, &length))) return std::string();
  return buffer;
}

}  // namespace

Session::Session(const ConnectionString& connection, long timeout_seconds) {
  (void)kRegistered;
  const char* override_env = std::getenv("KESTAL_ODBC_DRIVER");
  const std::string driver_override = override_env ? override_env : "";
  const std::string provider = connection.Get("Provider");
  const bool passthrough =
      strcasecmp(provider.c_str(), "ODBC") == 0 || strcasecmp(provider.c_str(), "MSDASQL") == 0;
  OdbcConnect params = BuildOdbcConnect(
      connection, timeout_seconds, passthrough ? std::vector<std::string>() : InstalledDrivers(),
      driver_override);
  password_ = params.password;
  codec_.encoding = params.client_charset;
  query_timeout_ = std::strtol(connection.Get("Command Timeout", "30").c_str(), nullptr, 10);
  std::string text = params.text;
  // SQLite's driver loads this library's functions for the dialect; a
  // missing file fails the connect, as on the native engine, unless asked.
  const bool sqlite_driver = Contains(connection.Get("Driver"), "sqlite");
  if (sqlite_driver && !connection.Has("LoadExt")) {
    text += "LoadExt=" + QuoteValue(ExtensionPath()) + ";";
    if (!connection.Has("NoCreat") && !connection.GetFlag("Create")) text += "NoCreat=1;";
    if (!connection.Has("Timeout")) {
      text += "Timeout=" + std::to_string(std::max(params.login_timeout, 5L) * 1000) + ";";
    }
  }
  try {
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env_))) {
      throw _com_error(kConnectionError, CString("ODBC: cannot allocate an environment"));
    }
    SQLSetEnvAttr(env_, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    Connect(text, params);
    server_ = ServerFromDbmsName(InfoText(dbc_, SQL_DBMS_NAME));
    if (server_ == Server::kSqlite && !sqlite_driver && !connection.Has("LoadExt")) {
      // Reached through a DSN: connect again, with the functions loaded.
      SQLDisconnect(dbc_);
      connected_ = false;
      SQLFreeHandle(SQL_HANDLE_DBC, dbc_);
      dbc_ = SQL_NULL_HDBC;
      Connect(text + "LoadExt=" + QuoteValue(ExtensionPath()) + ";", params);
    }
    SQLUINTEGER getdata = 0;
    SQLGetInfo(dbc_, SQL_GETDATA_EXTENSIONS, &getdata, sizeof getdata, nullptr);
    block_fetch_ = (getdata & SQL_GD_BLOCK) != 0 && (getdata & SQL_GD_BOUND) != 0;
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, dbc_, &stmt_))) {
      Fail(SQL_HANDLE_DBC, dbc_, "SQLAllocHandle(statement)");
    }
    if (server_ == Server::kPostgres) {
      // psqlODBC speaks the session's client encoding.
      // The server's activity view names the library's sessions, as the
      // native engine's do.
      // statement_timeout bounds every statement, lock waits included, as
      // on the native engine (SQL_ATTR_QUERY_TIMEOUT would cost psqlODBC a
      // round trip per statement).
      const long timeout_ms = std::min(std::max(query_timeout_, 0L), 86400L) * 1000;
      std::unique_ptr<ResultTable> enc =
          Send("set application_name = 'kestal';\nset statement_timeout = " +
               std::to_string(timeout_ms) + ";\nshow client_encoding");
      if (enc && enc->RowCount() > 0 && !enc->IsNull(0, 0)) {
        const std::string name(enc->Text(0, 0));
        codec_.encoding = strcasecmp(name.c_str(), "UTF8") == 0 ? "UTF-8" : name;
      }
      MakeSchema(params.shown);
    } else if (server_ == Server::kSqlite) {
      MakeSchema(params.shown);
    } else if (server_ == Server::kSqlServer && query_timeout_ > 0) {
      SQLSetStmtAttr(stmt_, SQL_ATTR_QUERY_TIMEOUT,
                     reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(query_timeout_)), 0);
    }
  } catch (const _com_error& e) {
    Release();
    throw _com_error(kConnectionError, e.Description(), FailureKind::kLink);
  }
}

Session::~Session() {
  Release();
}

void Session::Release() {
  if (stmt_ != SQL_NULL_HSTMT) SQLFreeHandle(SQL_HANDLE_STMT, stmt_);
  stmt_ = SQL_NULL_HSTMT;
  if (connected_) {
    if (in_transaction_) SQLEndTran(SQL_HANDLE_DBC, dbc_, SQL_ROLLBACK);
    SQLDisconnect(dbc_);
  }
  connected_ = false;
  if (dbc_ != SQL_NULL_HDBC) SQLFreeHandle(SQL_HANDLE_DBC, dbc_);
  dbc_ = SQL_NULL_HDBC;
  if (env_ != SQL_NULL_HENV) SQLFreeHandle(SQL_HANDLE_ENV, env_);
  env_ = SQL_NULL_HENV;
}

void Session::Connect(const std::string& text, const OdbcConnect& params) {
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_DBC, env_, &dbc_))) {
    Fail(SQL_HANDLE_ENV, env_, "SQLAllocHandle(connection)");
  }
  const SQLULEN seconds = static_cast<SQLULEN>(params.login_timeout);
  SQLSetConnectAttr(dbc_, SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(seconds), 0);
  SQLSetConnectAttr(dbc_, SQL_ATTR_CONNECTION_TIMEOUT, reinterpret_cast<SQLPOINTER>(seconds), 0);
  // Bulk copy must be asked for before the login (FreeTDS, Microsoft's
  // driver).
  RequestBulkCopy(dbc_, text);
  SQLCHAR out[2048];
  SQLSMALLINT out_length = 0;
  std::string in = text;
  const SQLRETURN rc = SQLDriverConnect(dbc_, nullptr, reinterpret_cast<SQLCHAR*>(&in[0]),
                                        static_cast<SQLSMALLINT>(in.size()), out, sizeof out,
                                        &out_length, SQL_DRIVER_NOPROMPT);
  if (!SQL_SUCCEEDED(rc)) {
    const std::vector<Diagnostic> records = ReadDiagnostics(SQL_HANDLE_DBC, dbc_, codec_.encoding);
    throw _com_error(kConnectionError, CString("ODBC: cannot connect (" + params.shown + "): " +
                                               Describe(records, "SQLDriverConnect", password_)));
  }
  connected_ = true;
}

bool Session::LinkDead() {
  SQLUINTEGER dead = SQL_CD_FALSE;
  if (!SQL_SUCCEEDED(SQLGetConnectAttr(dbc_, SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr))) {
    return false;
  }
  return dead == SQL_CD_TRUE;
}

void Session::Fail(SQLSMALLINT type, SQLHANDLE handle, const std::string& operation) {
  const std::vector<Diagnostic> records = ReadDiagnostics(type, handle, codec_.encoding);
  const bool dead = dbc_ != SQL_NULL_HDBC && connected_ && LinkDead();
  throw _com_error(StatusFor(records, dead), CString(Describe(records, operation, password_)),
                   KindFor(records, dead));
}

std::unique_ptr<ResultTable> Session::Send(const std::string& text) {
  sent_.push_back(text);
  const std::string wire = codec_.Encode(text);
  SQLFreeStmt(stmt_, SQL_CLOSE);
  SQLRETURN rc = SQLExecDirect(stmt_, reinterpret_cast<SQLCHAR*>(const_cast<char*>(wire.c_str())),
                               static_cast<SQLINTEGER>(wire.size()));
  std::unique_ptr<ResultTable> last;
  bool failed = false;
  HRESULT status = 0;
  FailureKind kind = FailureKind::kUnknown;
  std::string failure;
  auto note_failure = [&](const char* operation) {
    if (failed) return;
    failed = true;
    const std::vector<Diagnostic> records =
        ReadDiagnostics(SQL_HANDLE_STMT, stmt_, codec_.encoding);
    const bool dead = LinkDead();
    status = StatusFor(records, dead);
    kind = KindFor(records, dead);
    failure = Describe(records, operation, password_);
  };
  // A limit of "set rowcount" applies per result, as on the server.
  const long limit = server_ == Server::kSqlServer ? 0 : row_limit_;
  while (true) {
    if (rc == SQL_NO_DATA) {
      row_counts_.push_back(0);  // a searched UPDATE or DELETE that hit no row
    } else if (rc == SQL_ERROR || rc == SQL_INVALID_HANDLE) {
      note_failure("SQLExecDirect");
      row_counts_.push_back(-1);
      // A lost link gives no further results.
      if (status == kConnectionError) break;
    } else {
      SQLSMALLINT columns = 0;
      SQLNumResultCols(stmt_, &columns);
      if (columns > 0) {
        try {
          std::unique_ptr<ResultTable> rows =
              FetchAll(stmt_, columns, limit, codec_, block_fetch_, server_ == Server::kSqlite);
          row_counts_.push_back(static_cast<long>(rows->RowCount()));
          if (!failed) last = std::move(rows);
        } catch (const _com_error& e) {
          if (!failed) {
            failed = true;
            status = LinkDead() ? kConnectionError : e.Error();
            kind = status == kConnectionError ? FailureKind::kLink : e.Kind();
            failure = e.Description().str();
          }
          if (status == kConnectionError) break;
        }
      } else {
        SQLLEN count = -1;
        SQLRowCount(stmt_, &count);
        row_counts_.push_back(static_cast<long>(count));
      }
    }
    if (server_ == Server::kSqlite) break;  // one statement per call there
    rc = SQLMoreResults(stmt_);
    if (rc == SQL_NO_DATA) break;
  }
  SQLFreeStmt(stmt_, SQL_CLOSE);
  if (failed) throw _com_error(status, CString(failure), kind);
  return last;
}

void Session::Command(const std::string& text) {
  const size_t counted = row_counts_.size();
  try {
    Send(text);
  } catch (...) {
    row_counts_.resize(counted);
    throw;
  }
  row_counts_.resize(counted);
}

std::vector<std::vector<std::string>> Session::CatalogRows(const std::string& sql) {
  const size_t counted = row_counts_.size();
  const size_t sent = sent_.size();
  std::unique_ptr<ResultTable> rows;
  try {
    rows = Send(sql);
  } catch (...) {
    row_counts_.resize(counted);
    sent_.resize(sent);
    throw;
  }
  row_counts_.resize(counted);
  sent_.resize(sent);
  std::vector<std::vector<std::string>> out;
  if (!rows) return out;
  for (size_t r = 0; r < rows->RowCount(); ++r) {
    std::vector<std::string>& texts = out.emplace_back();
    for (size_t c = 0; c < rows->columns.size(); ++c) texts.emplace_back(rows->Text(r, c));
  }
  return out;
}

void Session::MakeSchema(const std::string& scope) {
  if (server_ == Server::kPostgres) {
    auto read = [this](const std::string& name) {
      std::vector<postgres::CatalogSchema::ShapeRow> shapes;
      for (const auto& row : CatalogRows(BindLiteral(postgres::ShapesQuery(), name))) {
        if (row.size() < 3) continue;
        postgres::CatalogSchema::ShapeRow& shape = shapes.emplace_back();
        shape.relation = row[0];
        shape.has_column = !row[1].empty();
        shape.column = row[1];
        // psqlODBC gives booleans as "1" and "0" by default.
        shape.character = row[2] == "1" || row[2] == "t" || row[2] == "true";
      }
      return shapes;
    };
    pg_schema_ = std::make_unique<postgres::CatalogSchema>("odbc\n" + scope + '\n', read,
                                                           [] { return true; });
  } else if (server_ == Server::kSqlite) {
    sqlite_schema_ =
        std::make_unique<sqlite::CatalogSchema>([this](const char* sql, const std::string& param) {
          return CatalogRows(BindLiteral(sql, param));
        });
  }
}

std::string Session::LockName(const std::string& table) {
  const std::string name = postgres::TablePart(table);
  const tsql::TableShape* shape = pg_schema_ ? pg_schema_->Table(name) : nullptr;
  return shape ? postgres::PostgresDialect().quote_stored_name(shape->name)
               : postgres::QuoteName(name);
}

std::string Session::LockPrefix(const std::vector<std::string>& locked) {
  if (locked.empty()) return std::string();
  std::string text = "lock table ";
  for (size_t i = 0; i < locked.size(); ++i) {
    if (i > 0) text += ", ";
    text += LockName(locked[i]);
  }
  return text + " in share row exclusive mode; ";
}

std::unique_ptr<ResultTable> Session::SendWrapped(const std::string& text) {
  const size_t counted = row_counts_.size();
  std::unique_ptr<ResultTable> rows = Send(text);
  // The savepoint before and its release after are the session's own.
  if (row_counts_.size() >= counted + 2) {
    row_counts_.erase(row_counts_.begin() + static_cast<long>(counted));
    row_counts_.pop_back();
  }
  return rows;
}

std::unique_ptr<ResultTable> Session::SendRun(const std::vector<std::string>& run) {
  if (run.empty()) return nullptr;
  if (run.size() == 1) {
    tsql::Statement one;
    one.sql = run.front();
    std::unique_ptr<ResultTable> rows = SendOne(one);
    NoteChanged(one.sql);
    return rows;
  }
  const size_t counted = row_counts_.size();
  try {
    // Plain inserts of one head go as one multi-row insert: the server
    // plans and runs one statement instead of one per row.
    const std::vector<tsql::JoinedPiece> pieces = tsql::JoinPlainInserts(run, kPieceBytes);
    std::vector<std::string> texts;
    texts.reserve(pieces.size());
    for (const tsql::JoinedPiece& piece : pieces) texts.push_back(piece.sql);
    std::unique_ptr<ResultTable> rows;
    // PostgreSQL runs one query text as one implicit transaction; inside a
    // host transaction the savepoint undoes the whole run.
    if (in_transaction_) {
      rows = SendWrapped(std::string("savepoint ") + kSavepoint + ";\n" + JoinStatements(texts) +
                         ";\nrelease savepoint " + kSavepoint);
    } else {
      rows = Send(JoinStatements(texts));
    }
    SpreadCounts(pieces, counted);
    if (row_counts_.size() > counted) changed_ = row_counts_.back();
    return rows;
  } catch (const _com_error& e) {
    if (e.Error() == kConnectionError) throw;
    if (in_transaction_) Command(std::string("rollback to savepoint ") + kSavepoint);
  }
  // Nothing of the run stayed: run it again one statement at a time, so that
  // the statements before the failing one stay and it reports its own error.
  row_counts_.resize(counted);
  std::unique_ptr<ResultTable> last;
  for (const std::string& sql : run) {
    tsql::Statement one;
    one.sql = sql;
    std::unique_ptr<ResultTable> rows = SendOne(one);
    NoteChanged(sql);
    if (rows) last = std::move(rows);
  }
  return last;
}

void Session::SpreadCounts(const std::vector<tsql::JoinedPiece>& pieces, size_t counted) {
  // A driver that gave no count of its own for some piece leaves the counts
  // as they came.
  if (row_counts_.size() != counted + pieces.size()) return;
  std::vector<long> counts(row_counts_.begin(), row_counts_.begin() + static_cast<long>(counted));
  for (size_t i = 0; i < pieces.size(); ++i) {
    for (long long n : tsql::PieceCounts(pieces[i], row_counts_[counted + i])) {
      counts.push_back(static_cast<long>(n));
    }
  }
  row_counts_.swap(counts);
}

void Session::NoteChanged(const std::string& sql) {
  const std::string word = FirstWord(sql);
  if (row_counts_.empty() || !(word == "insert" || word == "update" || word == "delete")) return;
  changed_ = row_counts_.back();
}

std::unique_ptr<ResultTable> Session::SendOne(const tsql::Statement& st) {
  if (server_ == Server::kSqlServer) return Send(st.sql);
  if (server_ == Server::kSqlite) {
    if (in_transaction_ || !IsSqliteWrite(st.sql)) return Send(st.sql);
    // Outside the host's transaction a write runs in one of its own begun
    // IMMEDIATE: an INSERT ... SELECT max()+1 then reads and writes under
    // one write lock instead of failing on a stale snapshot.
    Command("BEGIN IMMEDIATE");
    try {
      std::unique_ptr<ResultTable> rows = Send(st.sql);
      Command("COMMIT");
      return rows;
    } catch (...) {
      try {
        Command("ROLLBACK");
      } catch (const _com_error&) {
        // The failed statement may have ended the transaction already.
      }
      throw;
    }
  }
  // PostgreSQL: the session's functions are made on first use.
  const bool uses_functions = UsesSessionFunctions(st.sql);
  const bool make_functions = uses_functions && !functions_made_;
  const std::string body = (make_functions ? std::string(postgres::SessionFunctionsSql()) : "") +
                           LockPrefix(st.locked_tables) + st.sql;
  // The statement's own row count is the one kept: the session's commands
  // sent with it (functions, locks, savepoints) have none of their own.
  const size_t counted = row_counts_.size();
  auto keep_one = [this, counted](bool wrapped) {
    if (row_counts_.size() <= counted + 1) return;
    const long own = row_counts_[row_counts_.size() - (wrapped ? 2 : 1)];
    row_counts_.resize(counted);
    row_counts_.push_back(own);
  };
  if (!in_transaction_) {
    std::unique_ptr<ResultTable> rows = Send(body);
    keep_one(false);
    if (make_functions) functions_made_ = true;
    return rows;
  }
  try {
    std::unique_ptr<ResultTable> rows = Send(std::string("savepoint ") + kSavepoint + ";\n" + body +
                                             ";\nrelease savepoint " + kSavepoint);
    keep_one(true);
    return rows;
  } catch (const _com_error& e) {
    if (e.Error() != kConnectionError) {
      try {
        Command(std::string("rollback to savepoint ") + kSavepoint);
      } catch (const _com_error&) {
      }
    }
    throw;
  }
}

std::unique_ptr<ResultTable> Session::RunPlan(const std::vector<tsql::Statement>& plan) {
  std::unique_ptr<ResultTable> last;
  for (const tsql::Statement& part : plan) {
    std::unique_ptr<ResultTable> rows =
        part.kind == tsql::StatementKind::kSql ? Send(part.sql) : RunRequest(part);
    if (rows) last = std::move(rows);
  }
  return last;
}

std::unique_ptr<ResultTable> Session::RunRequest(const tsql::Statement& st) {
  SqlRunner run = [this](const std::string& sql) {
    tsql::Statement one;
    one.sql = sql;
    return SendOne(one);
  };
  switch (st.kind) {
    case tsql::StatementKind::kNoop:
      return nullptr;
    case tsql::StatementKind::kSetRowcount:
      row_limit_ = st.rowcount > 0 ? st.rowcount : 0;
      return nullptr;
    case tsql::StatementKind::kReseed:
      Reseed(server_, st.table, st.seed, run);
      return nullptr;
    case tsql::StatementKind::kBulkInsert: {
      SqlRunner raw = [this](const std::string& sql) { return Send(sql); };
      BulkTarget target{server_, dbc_, InfoText(dbc_, SQL_DRIVER_NAME), codec_, in_transaction_,
                        run,     raw};
      BulkLoad(target, st.bulk);
      return nullptr;
    }
    case tsql::StatementKind::kSql:
      return SendOne(st);
  }
  return nullptr;
}

std::unique_ptr<ResultTable> Session::Execute(const std::string& tsql) {
  sent_.clear();
  row_counts_.clear();
  changed_ = -1;
  const std::vector<std::string> statements = tsql::SplitBatch(tsql);
  if (server_ == Server::kSqlServer) {
    // The batch goes as written, in as few round trips as it allows (see
    // PlanSqlServerBatch). A fault injected before statement k sends the
    // statements before it, as the other engines have run them by then.
    for (size_t k = 0; k < statements.size(); ++k) {
      try {
        CheckFault(FaultPoint::kBatchStatement, CString(FromUtf8(statements[k])));
      } catch (...) {
        if (k > 0) {
          RunPlan(PlanSqlServerBatch(JoinStatements(
              std::vector<std::string>(statements.begin(), statements.begin() + k))));
        }
        throw;
      }
    }
    return RunPlan(PlanSqlServerBatch(tsql));
  }
  std::unique_ptr<ResultTable> last;
  auto keep = [&last](std::unique_ptr<ResultTable> rows) {
    if (rows) last = std::move(rows);
  };
  std::vector<std::string> run;  // plain writes waiting to go together
  size_t run_bytes = 0;
  for (const std::string& text : statements) {
    tsql::Statement st;
    try {
      CheckFault(FaultPoint::kBatchStatement, CString(FromUtf8(text)));
      tsql::Schema* schema = nullptr;
      if (pg_schema_) {
        pg_schema_->NewStatement();
        schema = pg_schema_.get();
      } else if (sqlite_schema_) {
        sqlite_schema_->NewStatement();
        schema = sqlite_schema_.get();
      }
      st = RewriteFor(server_, text, schema);
    } catch (...) {
      keep(SendRun(run));
      throw;
    }
    if (TakesBatches(server_) && IsPlainWrite(st)) {
      run_bytes += st.sql.size();
      run.push_back(std::move(st.sql));
      if (run_bytes >= kPieceBytes) {
        keep(SendRun(run));
        run.clear();
        run_bytes = 0;
      }
      continue;
    }
    keep(SendRun(run));
    run.clear();
    run_bytes = 0;
    try {
      keep(RunRequest(st));
      if (st.kind == tsql::StatementKind::kSql) NoteChanged(st.sql);
    } catch (const _com_error& e) {
      // The statement may have failed on a table changed since its shape
      // was read.
      if (pg_schema_ && e.Error() == kStatementError) pg_schema_->Invalidate();
      throw;
    }
    // Tables made, changed or dropped: read their shapes again.
    if (pg_schema_ && st.kind == tsql::StatementKind::kSql && !IsQueryOrData(st.sql)) {
      pg_schema_->Invalidate();
    }
  }
  keep(SendRun(run));
  return last;
}

void Session::Begin() {
  if (in_transaction_) {
    throw _com_error(kTransactionError, CString("a transaction is already open"));
  }
  if (server_ == Server::kSqlite) {
    // SQLite's driver begins a deferred transaction when autocommit goes
    // off; the host's transaction may read before it writes, so it takes the
    // write lock at once, as on the native engine.
    Command("BEGIN IMMEDIATE");
  } else if (!SQL_SUCCEEDED(SQLSetConnectAttr(
                 dbc_, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0))) {
    Fail(SQL_HANDLE_DBC, dbc_, "SQLSetConnectAttr(autocommit off)");
  }
  in_transaction_ = true;
}

void Session::Commit() {
  if (!in_transaction_) throw _com_error(kTransactionError, CString("no transaction is open"));
  in_transaction_ = false;
  if (server_ == Server::kSqlite) {
    Command("COMMIT");
    return;
  }
  const SQLRETURN rc = SQLEndTran(SQL_HANDLE_DBC, dbc_, SQL_COMMIT);
  const bool committed = SQL_SUCCEEDED(rc);
  std::string failure;
  HRESULT status = 0;
  FailureKind kind = FailureKind::kUnknown;
  if (!committed) {
    const std::vector<Diagnostic> records = ReadDiagnostics(SQL_HANDLE_DBC, dbc_, codec_.encoding);
    const bool dead = LinkDead();
    status = StatusFor(records, dead);
    kind = KindFor(records, dead);
    failure = Describe(records, "SQLEndTran(commit)", password_);
    SQLEndTran(SQL_HANDLE_DBC, dbc_, SQL_ROLLBACK);
  }
  SQLSetConnectAttr(dbc_, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), 0);
  if (!committed) throw _com_error(status, CString(failure), kind);
}

}  // namespace kestal::db::odbc
