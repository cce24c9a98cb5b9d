// The SQLite engine session: opens the database file, runs rewritten T-SQL
// statement by statement, and keeps the connection's T-SQL session state
// (set rowcount, the host transaction).
#include <sqlite3.h>
#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <climits>
#include <cstring>
#include <list>
#include <memory>

#include "platform/Codepage.h"
#include "sql/db/ComError.h"
#include "sql/db/Engine.h"
#include "sql/db/FaultInjection.h"
#include "sql/db/sqlite/BulkLoad.h"
#include "sql/db/sqlite/Catalog.h"
#include "sql/db/sqlite/Dialect.h"
#include "sql/db/sqlite/Errors.h"
#include "sql/db/sqlite/Functions.h"
#include "sql/db/sqlite/Handle.h"
#include "sql/db/sqlite/InsertStatements.h"
#include "sql/db/sqlite/Values.h"
#include "sql/db/tsql/InsertBatch.h"
#include "sql/db/tsql/InsertRun.h"
#include "sql/db/tsql/Lexer.h"
#include "sql/db/tsql/RewriteCache.h"
#include "sql/db/tsql/Rewriter.h"

namespace kestal::db::sqlite {
namespace {

// Plain inserts joined into one statement at most: SQLite parses and codes
// a statement in one piece, so a run is kept to the size of a record batch.
constexpr size_t kMaxJoinedInserts = 500;
constexpr size_t kMaxJoinedBytes = 1 << 20;

// False for the statements SQLite refuses inside a transaction (PRAGMA
// wal_checkpoint, VACUUM, ATTACH, DETACH).
bool Transactional(const char* sql) {
  while (*sql == ' ' || *sql == '\t' || *sql == '\r' || *sql == '\n') ++sql;
  for (const char* word : {"pragma", "vacuum", "attach", "detach"}) {
    const size_t n = strlen(word);
    if (strncasecmp(sql, word, n) == 0 && !isalnum(static_cast<unsigned char>(sql[n])) &&
        sql[n] != '_') {
      return false;
    }
  }
  return true;
}

// True when sql (as SQLite runs it) is an INSERT, UPDATE, DELETE or REPLACE,
// whose row count sqlite3_changes tells.
bool ChangesRows(const std::string& sql) {
  size_t i = sql.find_first_not_of(" \t\r\n");
  if (i == std::string::npos) return false;
  for (const char* word : {"insert", "update", "delete", "replace"}) {
    const size_t n = strlen(word);
    if (strncasecmp(sql.c_str() + i, word, n) == 0 &&
        !isalnum(static_cast<unsigned char>(sql.c_str()[i + n]))) {
      return true;
    }
  }
  return false;
}

// Appends cell i of st's current row to table straight from SQLite's bytes
// when it needs nothing done to it: NULL, a whole number, or text that is
// not to be blank-padded (no fixed width, or ASCII that fills its width).
// Gives exactly what ColumnText and PadToWidth would; false, with nothing
// appended, for every other cell.
//
// The cell is read through sqlite3_column_value: the session's connection is
// opened NOMUTEX (multi-thread mode), where SQLite makes no difference
// between protected and unprotected values, and the value lives until the
// next step, as the column's own text would.
bool AddPlainCell(sqlite3_stmt* st, int i, const FixedWidth& width, ResultTable* table) {
  sqlite3_value* v = sqlite3_column_value(st, i);
  switch (sqlite3_value_type(v)) {
    case SQLITE_NULL:
      table->AddNull();
      return true;
    case SQLITE_INTEGER: {
      if (width.length > 0) return false;
      char buf[32];
      const auto r =
          std::to_chars(buf, buf + sizeof buf, static_cast<long long>(sqlite3_value_int64(v)));
      table->AddText(buf, static_cast<size_t>(r.ptr - buf));
      return true;
    }
    case SQLITE_TEXT: {
      const char* t = reinterpret_cast<const char*>(sqlite3_value_text(v));
      const size_t n = static_cast<size_t>(sqlite3_value_bytes(v));
      if (t == nullptr) return false;  // out of memory: ColumnText reports it alike
      if (width.length > 0) {
        if (width.national || n < static_cast<size_t>(width.length)) return false;
        for (size_t k = 0; k < n; ++k) {
          if (static_cast<unsigned char>(t[k]) >= 0x80) return false;
        }
      }
      table->AddText(t, n);
      return true;
    }
    default:
      return false;
  }
}

// Reads prepared once per shape of their rewritten text (slots written ?1,
// ?2, ...), at most kCapacity of them, the least recently used finalized
// first. Owned by one session; every statement is finalized before the
// connection closes, and all of them when the schema changes.
class PreparedShapes {
 public:
  PreparedShapes() = default;
  PreparedShapes(const PreparedShapes&) = delete;
  PreparedShapes& operator=(const PreparedShapes&) = delete;
  ~PreparedShapes() { Clear(); }

  // The statement prepared from shape_sql on db, or null when the text is
  // not one read-only statement (the caller then runs it as any other).
  sqlite3_stmt* Get(sqlite3* db, const std::string& shape_sql) {
    for (auto it = slots_.begin(); it != slots_.end(); ++it) {
      if (it->sql != shape_sql) continue;
      slots_.splice(slots_.begin(), slots_, it);
      return slots_.front().st;
    }
    sqlite3_stmt* st = nullptr;
    const char* tail = nullptr;
    if (sqlite3_prepare_v3(db, shape_sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &st, &tail) !=
            SQLITE_OK ||
        !st || !OnlyBlanks(tail) || !sqlite3_stmt_readonly(st) || !Transactional(sqlite3_sql(st))) {
      // Not kept as a shape: remembered, so that it is not prepared twice.
      sqlite3_finalize(st);
      st = nullptr;
    }
    if (slots_.size() >= kCapacity) {
      sqlite3_finalize(slots_.back().st);
      slots_.pop_back();
    }
    slots_.push_front({shape_sql, st});
    return st;
  }

  void Clear() {
    for (Slot& slot : slots_) sqlite3_finalize(slot.st);
    slots_.clear();
  }

 private:
  static constexpr size_t kCapacity = 16;
  struct Slot {
    std::string sql;
    sqlite3_stmt* st;  // null: the shape does not prepare as one read
  };
  static bool OnlyBlanks(const char* p) {
    while (p && (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n')) ++p;
    return !p || *p == 0;
  }
  std::list<Slot> slots_;  // most recently used first
};

class SqliteSession : public EngineSession {
 public:
  SqliteSession(const ConnectionString& cs, long timeout_seconds) {
    std::string path = cs.Get("Data Source");
    if (path.empty()) path = cs.Get("Database");
    if (path.empty()) {
      throw _com_error(kConnectionError, "SQLite: the connection string names no Data Source");
    }
    // A missing file is a failed connection, not a new empty database,
    // unless the string asks for creation.
    // NOMUTEX: a session serves one thread at a time (as its Connection
    // does), so SQLite's per-call locking would only cost time.
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX;
    if (cs.GetFlag("Create")) flags |= SQLITE_OPEN_CREATE;
    struct stat info;
    if (stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
      throw _com_error(kConnectionError,
                       CString("SQLite: the Data Source is a directory: " + ToUtf8(path)));
    }
    const int rc = sqlite3_open_v2(path.c_str(), &db_, flags, nullptr);
    try {
      // Descriptions cross the engine seam in UTF-8; the path is in the
      // host's code page.
      if (rc != SQLITE_OK) Raise(db_, rc, "cannot open database \"" + ToUtf8(path) + "\"");
      // ADO's 0 means "wait without end"; any other time-out is at least
      // five seconds so that writers under contention do not give up early.
      const long kForever = INT_MAX / 1000;
      const long seconds =
          timeout_seconds <= 0 ? kForever : std::min(std::max(timeout_seconds, 5L), kForever);
      sqlite3_busy_timeout(db_, static_cast<int>(seconds * 1000));
      // "name" is a name, never a string: without this SQLite would quietly
      // read an unknown "name" as the text 'name' and compare against it.
      sqlite3_db_config(db_, SQLITE_DBCONFIG_DQS_DML, 0, nullptr);
      sqlite3_db_config(db_, SQLITE_DBCONFIG_DQS_DDL, 0, nullptr);
      // WAL lets readers follow a table while other processes append to it.
      // This is also the first read of the file: a file that is not a
      // database fails here.
      Exec(db_, "PRAGMA journal_mode=WAL");
      // A database that may only be read must say so ("Mode=Read", as ADO
      // writes it); otherwise a writer would learn of it only when every
      // write fails.
      if (strcasecmp(cs.Get("Mode").c_str(), "Read") != 0) RequireWritable(db_, ToUtf8(path));
      RegisterFunctions(db_);
      CreateCatalogViews(db_);
      schema_ = std::make_unique<CatalogSchema>(db_);
      insert_statements_ = std::make_unique<InsertStatements>(db_);
    } catch (...) {
      sqlite3_close_v2(db_);
      db_ = nullptr;
      throw;
    }
  }

  ~SqliteSession() override {
    prepared_.Clear();
    schema_.reset();
    insert_statements_.reset();
    bulk_cache_.reset();
    sqlite3_finalize(savepoint_);
    sqlite3_finalize(release_);
    sqlite3_finalize(begin_);
    sqlite3_finalize(commit_);
    sqlite3_close_v2(db_);
  }

  std::unique_ptr<ResultTable> Execute(const std::string& batch) override {
    EndStrayTransaction();
    changed_ = -1;
    if (ExecutePlainInserts(batch)) return nullptr;
    std::unique_ptr<ResultTable> last;
    // Plain inserts of one head waiting to run as one statement; they run
    // before any other statement, and before a fault or a rewrite failure
    // of the next one is reported.
    tsql::InsertRun inserts;
    for (const std::string& text : tsql::SplitBatch(batch)) {
      tsql::Statement st;
      tsql::ShapedStatement shaped;
      try {
        CheckFault(FaultPoint::kBatchStatement, CString(FromUtf8(text)));
        schema_->NewStatement();
        shaped = RewriteShaped(text);
        st = std::move(shaped.statement);
      } catch (...) {
        RunInserts(&inserts);
        throw;
      }
      if (Joinable(st, text)) {
        if (inserts.Add(st.sql)) {
          if (inserts.size() >= kMaxJoinedInserts || inserts.bytes() >= kMaxJoinedBytes) {
            RunInserts(&inserts);
          }
          continue;
        }
        RunInserts(&inserts);
        if (inserts.Add(st.sql)) continue;
      }
      RunInserts(&inserts);
      switch (st.kind) {
        case tsql::StatementKind::kSql: {
          auto rows = shaped.shape_sql.empty() ? Run(st.sql) : RunShaped(shaped, st.sql);
          if (rows) last = std::move(rows);
          if (ChangesRows(st.sql)) changed_ = sqlite3_changes64(db_);
          break;
        }
        case tsql::StatementKind::kSetRowcount:
          rowcount_ = st.rowcount;
          break;
        case tsql::StatementKind::kBulkInsert:
          BulkLoad(db_, st.bulk, bulk_cache_.get(), schema_->Generation());
          break;
        case tsql::StatementKind::kReseed:
          Reseed(db_, st.table, st.seed);
          break;
        case tsql::StatementKind::kNoop:
          break;
      }
    }
    RunInserts(&inserts);
    return last;
  }

  long long RowsChanged() const override { return changed_; }

  void Begin() override {
    if (host_transaction_) throw _com_error(kTransactionError, "a transaction is already open");
    // IMMEDIATE: the host's transaction may read before it writes.
    Exec(db_, "BEGIN IMMEDIATE");
    host_transaction_ = true;
  }

  void Commit() override {
    if (!host_transaction_) throw _com_error(kTransactionError, "no transaction is open");
    if (sqlite3_get_autocommit(db_)) {
      // An I/O or memory fault rolls a SQLite transaction back by itself;
      // committing now would report work as saved that is not.
      host_transaction_ = false;
      throw _com_error(kTransactionError, "the transaction was rolled back by an earlier error");
    }
    Exec(db_, "COMMIT");
    host_transaction_ = false;
  }

  bool InTransaction() const override { return host_transaction_; }

 private:
  // Outside a host transaction no transaction may be open: one left behind
  // (a failed ROLLBACK of the engine's own) would swallow every later write
  // without committing it. Raises kConnectionError when it cannot be ended.
  void EndStrayTransaction() {
    if (host_transaction_ || sqlite3_get_autocommit(db_)) return;
    const int rc = sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK && !sqlite3_get_autocommit(db_)) {
      Raise(db_, rc, "ending a transaction left open");
    }
  }

  // True when st is text passed through unchanged as a plain insert, which
  // may then join the run of inserts before it.
  static bool Joinable(const tsql::Statement& st, const std::string& text) {
    return st.kind == tsql::StatementKind::kSql && st.locked_tables.empty() && st.sql == text;
  }

  // Runs the inserts of run, then empties it: one statement holding all
  // their rows. When it fails on a value or a statement error and the
  // transaction state is as before, nothing of it stayed: the inserts run
  // again one by one, so that those before the failing one stay and the
  // failure is the failing insert's own, as when each is sent alone.
  void RunInserts(tsql::InsertRun* run) {
    if (run->empty()) return;
    struct ClearOnExit {
      tsql::InsertRun* run;
      ~ClearOnExit() { run->Clear(); }
    } clear{run};
    if (run->size() == 1) {
      RunOne(run->statements().front());
      return;
    }
    const bool was_autocommit = sqlite3_get_autocommit(db_) != 0;
    try {
      Run(run->Joined());
    } catch (const _com_error& e) {
      const bool resend = (e.Kind() == FailureKind::kValue || e.Kind() == FailureKind::kStatement ||
                           e.Kind() == FailureKind::kUnknown) &&
                          (sqlite3_get_autocommit(db_) != 0) == was_autocommit;
      if (!resend) throw;
      for (const std::string& sql : run->statements()) RunOne(sql);
      return;
    }
    changed_ = run->LastChanged(sqlite3_changes64(db_));
  }

  // A batch of single-row plain inserts only (a record batch of the order
  // buffer): runs it as Execute would, with the same runs, faults and
  // failures, but each run's rows go through prepared statements
  // (RunPlainInserts) instead of being rewritten, joined and parsed. False,
  // with nothing run, for any other batch.
  bool ExecutePlainInserts(const std::string& batch) {
    // The text of a plain insert goes to the engine as written only while
    // names need no quoting as stored (the rewriter's fast path).
    if (SqliteDialect().quote_stored_name != nullptr || !plain_.Read(batch)) return false;
    const std::vector<tsql::PlainStatement>& statements = plain_.statements();
    size_t first = 0;
    size_t count = 0;
    size_t bytes = 0;
    for (size_t i = 0; i < statements.size(); ++i) {
      if (FaultHookSet()) {
        try {
          CheckFault(FaultPoint::kBatchStatement, CString(FromUtf8(plain_.Text(i))));
        } catch (...) {
          RunPlainInserts(first, count);
          throw;
        }
      }
      if (count > 0 && !plain_.SameHead(first, i)) {
        RunPlainInserts(first, count);
        count = 0;
      }
      if (count == 0) {
        first = i;
        bytes = 0;
      }
      ++count;
      bytes += statements[i].text_size;
      if (count >= kMaxJoinedInserts || bytes >= kMaxJoinedBytes) {
        RunPlainInserts(first, count);
        count = 0;
      }
    }
    RunPlainInserts(first, count);
    return true;
  }

  // Runs statements first .. first+count-1 of plain_ (one head) as
  // RunInserts runs a joined insert: all rows or none, in a transaction of
  // the session's own outside the host's, under a savepoint inside it. When
  // a row fails on a value or a statement error and the transaction state
  // is as before, the statements run again one by one as text, so that those
  // before the failing one stay and the failure is its own.
  void RunPlainInserts(size_t first, size_t count) {
    if (count == 0) return;
    const bool was_autocommit = sqlite3_get_autocommit(db_) != 0;
    bool undone = true;  // a failed run left nothing behind
    try {
      if (was_autocommit) {
        OwnWrite tx(this);
        insert_statements_->Insert(plain_, first, count);
        tx.Commit();
      } else {
        RunCached(&savepoint_, "SAVEPOINT kestal_insert_run");
        try {
          insert_statements_->Insert(plain_, first, count);
        } catch (...) {
          // An error that ended the transaction took the savepoint with it.
          if (!sqlite3_get_autocommit(db_)) {
            undone = sqlite3_exec(db_, "ROLLBACK TO kestal_insert_run", nullptr, nullptr,
                                  nullptr) == SQLITE_OK;
            sqlite3_exec(db_, "RELEASE kestal_insert_run", nullptr, nullptr, nullptr);
          }
          throw;
        }
        RunCached(&release_, "RELEASE kestal_insert_run");
      }
    } catch (const _com_error& e) {
      const bool resend = undone &&
                          (e.Kind() == FailureKind::kValue || e.Kind() == FailureKind::kStatement ||
                           e.Kind() == FailureKind::kUnknown) &&
                          (sqlite3_get_autocommit(db_) != 0) == was_autocommit;
      if (!resend) throw;
      for (size_t i = first; i < first + count; ++i) RunOne(plain_.Text(i));
      return;
    }
    changed_ = sqlite3_changes64(db_);
  }

  // Runs one plain insert as Execute runs any statement.
  void RunOne(const std::string& sql) {
    Run(sql);
    changed_ = sqlite3_changes64(db_);
  }

  // Rewrites text through the session's shape cache; a schema change seen
  // there also lets go of the statements prepared for the old schema.
  tsql::ShapedStatement RewriteShaped(const std::string& text) {
    return rewrites_.Rewrite(text, SqliteDialect(), schema_.get(), [this] {
      const long long now = schema_->Generation();
      if (now != prepared_generation_) {
        prepared_.Clear();
        prepared_generation_ = now;
      }
      return now;
    });
  }

  // Runs a read whose rewrite has a shape: prepared once per shape, with the
  // slot numbers bound as integers (no affinity, as the literals they stand
  // for). sql, the same statement with its literals, runs the ordinary way
  // when the shape does not prepare as one read.
  std::unique_ptr<ResultTable> RunShaped(const tsql::ShapedStatement& shaped,
                                         const std::string& sql) {
    sqlite3_stmt* st = prepared_.Get(db_, shaped.shape_sql);
    if (!st) return Run(sql);
    // Reset after Raise has read the error text; a statement left stepping
    // would hold its read snapshot open.
    struct ResetOnExit {
      sqlite3_stmt* st;
      ~ResetOnExit() { sqlite3_reset(st); }
    } reset{st};
    for (size_t k = 0; k < shaped.values.size(); ++k) {
      const int rc = sqlite3_bind_int64(st, static_cast<int>(k + 1), shaped.values[k]);
      if (rc != SQLITE_OK) Raise(db_, rc);
    }
    return Step(st, true);
  }

  // Runs one rewritten statement (SQLite may still see several when a
  // comment or blank trails it). Returns its rows, or null.
  std::unique_ptr<ResultTable> Run(const std::string& sql) {
    std::unique_ptr<ResultTable> last;
    const char* tail = sql.c_str();
    while (tail && *tail) {
      sqlite3_stmt* raw = nullptr;
      const int rc = sqlite3_prepare_v2(db_, tail, -1, &raw, &tail);
      if (rc != SQLITE_OK) {
        sqlite3_finalize(raw);
        Raise(db_, rc);
      }
      if (!raw) continue;  // only blanks or comments were left
      std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> st(raw, sqlite3_finalize);
      if (sqlite3_stmt_readonly(raw) || !Transactional(sqlite3_sql(raw))) {
        auto rows = Step(raw, true);
        if (rows) last = std::move(rows);
      } else {
        // A writing statement outside the host's transaction runs in one of
        // its own begun IMMEDIATE: an INSERT ... SELECT max()+1 then reads
        // and writes under one write lock, waited for under the busy
        // time-out, instead of failing on a stale snapshot.
        OwnWrite tx(this);
        auto rows = Step(raw, false);
        st.reset();
        tx.Commit();
        if (rows) last = std::move(rows);
      }
    }
    return last;
  }

  // Steps st to the end; collects its rows when it yields any. A read is
  // capped by set rowcount. Each value is read into a scratch text reused
  // row after row; the table keeps only its packed bytes.
  std::unique_ptr<ResultTable> Step(sqlite3_stmt* st, bool capped) {
    const int ncol = sqlite3_column_count(st);
    const size_t cells = static_cast<size_t>(ncol);
    const size_t cap =
        capped && rowcount_ > 0 ? static_cast<size_t>(rowcount_) : static_cast<size_t>(-1);
    std::unique_ptr<ResultTable> table;
    // Columns declared char(n) / nchar(n) (length > 0): their values are
    // read back blank-padded to n, as SQL Server stores them.
    std::vector<FixedWidth> widths(cells);
    if (ncol > 0) {
      table = std::make_unique<ResultTable>();
      table->columns.reserve(cells);
      for (int i = 0; i < ncol; ++i) {
        const char* name = sqlite3_column_name(st, i);
        table->columns.emplace_back(name ? name : "");
        widths[static_cast<size_t>(i)] = FixedWidthOf(sqlite3_column_decltype(st, i));
      }
    }
    std::string text;
    while (true) {
      if (table && table->RowCount() >= cap) break;
      const int rc = sqlite3_step(st);
      if (rc == SQLITE_DONE) break;
      if (rc != SQLITE_ROW) Raise(db_, rc);
      if (!table) continue;
      table->AddRow();
      for (int i = 0; i < ncol; ++i) {
        const FixedWidth& width = widths[static_cast<size_t>(i)];
        if (AddPlainCell(st, i, width, table.get())) continue;
        if (!ColumnText(st, i, &text)) {
          table->AddNull();
          continue;
        }
        if (width.length > 0) PadToWidth(width, &text);
        table->AddText(text);
      }
    }
    return table;
  }

  // Runs the statement cached in *slot, preparing sql into it on first use:
  // a statement batch begins and commits once per statement, and parsing
  // BEGIN IMMEDIATE and COMMIT each time would cost as much as the insert.
  // Raises _com_error on failure; the statement is reset either way.
  void RunCached(sqlite3_stmt** slot, const char* sql) {
    if (*slot == nullptr) {
      const int rc = sqlite3_prepare_v2(db_, sql, -1, slot, nullptr);
      if (rc != SQLITE_OK) {
        sqlite3_finalize(*slot);
        *slot = nullptr;
        Raise(db_, rc);
      }
    }
    // Reset after Raise has read the error text, also when it throws.
    struct ResetOnExit {
      sqlite3_stmt* st;
      ~ResetOnExit() { sqlite3_reset(st); }
    } reset{*slot};
    const int rc = sqlite3_step(*slot);
    if (rc != SQLITE_DONE) Raise(db_, rc);
  }

  // The session's own write transaction around one statement outside the
  // host's transaction, begun IMMEDIATE (the write lock is taken, under the
  // busy time-out, before anything is read) and rolled back unless
  // committed. Does nothing when a transaction is open already.
  class OwnWrite {
   public:
    explicit OwnWrite(SqliteSession* session)
        : session_(session), own_(sqlite3_get_autocommit(session->db_) != 0) {
      if (own_) session_->RunCached(&session_->begin_, "BEGIN IMMEDIATE");
    }
    ~OwnWrite() {
      if (own_ && !done_ && !sqlite3_get_autocommit(session_->db_)) {
        sqlite3_exec(session_->db_, "ROLLBACK", nullptr, nullptr, nullptr);
      }
    }
    OwnWrite(const OwnWrite&) = delete;
    OwnWrite& operator=(const OwnWrite&) = delete;
    void Commit() {
      if (own_) session_->RunCached(&session_->commit_, "COMMIT");
      done_ = true;
    }

   private:
    SqliteSession* session_;
    bool own_;
    bool done_ = false;
  };

  sqlite3* db_ = nullptr;
  long long changed_ = -1;                 // RowsChanged of the last Execute
  std::unique_ptr<CatalogSchema> schema_;  // the rewriter's view of db_'s tables
  tsql::RewriteCache rewrites_;            // reads' rewrites by shape
  PreparedShapes prepared_;                // their statements, for schema prepared_generation_
  long long prepared_generation_ = -1;
  sqlite3_stmt* begin_ = nullptr;   // BEGIN IMMEDIATE, prepared on first use
  sqlite3_stmt* commit_ = nullptr;  // COMMIT, prepared on first use
  // The plain-insert path: the batch being run, its prepared inserts, and
  // the savepoint around a run inside the host's transaction (prepared on
  // first use).
  tsql::InsertBatch plain_;
  std::unique_ptr<InsertStatements> insert_statements_;
  // What BULK INSERT keeps between loads (BulkLoad.h).
  std::unique_ptr<BulkLoadCache> bulk_cache_ = std::make_unique<BulkLoadCache>();
  sqlite3_stmt* savepoint_ = nullptr;
  sqlite3_stmt* release_ = nullptr;
  long rowcount_ = 0;
  bool host_transaction_ = false;
};

// Opens a SQLite session for a parsed connection string.
std::unique_ptr<EngineSession> OpenSqlite(const ConnectionString& cs, long timeout) {
  return std::make_unique<SqliteSession>(cs, timeout);
}

const bool kRegistered =
    RegisterEngine("SQLite", &OpenSqlite) && RegisterEngine("SQLite3", &OpenSqlite);

}  // namespace
}  // namespace kestal::db::sqlite
