// The database access layer: Connection, Command and Recordset objects in the
// manner of ADO, held by reference-counted smart pointers. Statements are
// T-SQL in the process code page; the layer rewrites them for the engine
// named by the connection string (SQLite or PostgreSQL), converts text to and
// from the engine's UTF-8, and raises _com_error on every failure.
//
// Results are client-side and static: every row is fetched when the statement
// runs, so RecordCount is known at once and positioning never goes back to the
// engine. A deferred Recordset (OpenDeferred) runs its statement at its first
// read or move instead, and is static from then on.
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/String.h"
#include "sql/db/ComError.h"

namespace kestal::db {
class EngineSession;  // one live engine connection (sql/db/Engine.h)
class ResultTable;    // rows of one statement (sql/db/Engine.h)
}  // namespace kestal::db

// ADO constants the library passes along. Values as in ADO.
enum CursorLocationEnum { adUseServer = 2, adUseClient = 3 };
enum CursorTypeEnum {
  adOpenForwardOnly = 0,
  adOpenKeyset = 1,
  adOpenDynamic = 2,
  adOpenStatic = 3
};
enum LockTypeEnum { adLockReadOnly = 1, adLockPessimistic = 2, adLockOptimistic = 3 };
enum CommandTypeEnum { adCmdText = 1 };
enum ObjectStateEnum { adStateClosed = 0, adStateOpen = 1 };

// A column value: text in the process code page, or NULL. Converting a NULL
// to text raises _com_error(kTypeMismatch), as a VARIANT VT_NULL does.
class _variant_t {
 public:
  _variant_t() = default;  // NULL
  explicit _variant_t(const CString& text) : null_(false), text_(text) {}
  explicit _variant_t(CString&& text) : null_(false), text_(std::move(text)) {}
  bool IsNull() const { return null_; }
  // The value as text; throws _com_error(kTypeMismatch) for NULL. A
  // temporary value hands its text over instead of copying it (every column
  // read goes through one).
  CString ToString() const&;
  CString ToString() &&;
  operator CString() const { return ToString(); }  // NOLINT: as _bstr_t(variant)

 private:
  bool null_ = true;
  CString text_;
};

// Reference-counted pointer in the manner of _com_ptr_t: using an empty one
// raises _com_error(kNullObject) instead of crashing.
template <class T>
class ComPtr {
 public:
  ComPtr() = default;
  ComPtr(std::nullptr_t) {}  // NOLINT
  explicit ComPtr(std::shared_ptr<T> p) : p_(std::move(p)) {}

  // Creates a fresh object in this pointer (dropping the old reference).
  // Returns 0 (S_OK).
  HRESULT CreateInstance() {
    p_ = std::make_shared<T>();
    return 0;
  }
  // Drops this reference; the object goes when its last reference goes.
  void Release() { p_.reset(); }
  T* operator->() const {
    if (!p_) throw _com_error(kestal::db::kNullObject, "object is not set");
    return p_.get();
  }
  T* get() const { return p_.get(); }
  explicit operator bool() const { return p_ != nullptr; }
  bool operator==(std::nullptr_t) const { return p_ == nullptr; }
  bool operator!=(std::nullptr_t) const { return p_ != nullptr; }
  const std::shared_ptr<T>& shared() const { return p_; }

 private:
  std::shared_ptr<T> p_;
};

class Connection;
class Recordset;
using _ConnectionPtr = ComPtr<Connection>;
using _RecordsetPtr = ComPtr<Recordset>;

class Connection {
 public:
  Connection();
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Opens the engine named by connection_string ("Provider=SQLite;Data
  // Source=PATH" or "Provider=PostgreSQL;Server=...;..."). A non-empty user
  // or password fills in "User ID" / "Password" when the string has none;
  // options are accepted for ADO's sake. The string is taken from
  // PutConnectionString when connection_string is empty.
  // Waits up to the connection timeout. Throws kObjectOpen when already open,
  // kConnectionError when the engine cannot be reached.
  void Open(const CString& connection_string, const CString& user = CString(),
            const CString& password = CString(), long options = -1);
  // Closes the engine connection. Throws kObjectClosed when not open.
  void Close();
  long GetState() const { return session_ ? adStateOpen : adStateClosed; }

  void PutConnectionString(const CString& text) { connection_string_ = text; }
  CString GetConnectionString() const { return connection_string_; }
  void PutConnectionTimeout(long seconds) { timeout_seconds_ = seconds; }
  long GetConnectionTimeout() const { return timeout_seconds_; }
  void PutCursorLocation(long location) { cursor_location_ = location; }
  long GetCursorLocation() const { return cursor_location_; }

  // Returns the nesting level (1). Throws when closed or the engine refuses.
  long BeginTrans();
  // Throws kTransactionError when no transaction is open.
  void CommitTrans();

  // Runs statement text (one or more statements separated by ';') and returns
  // the rows of the last statement that yields rows, as an open Recordset, or
  // a closed Recordset when none does. Throws _com_error on failure.
  _RecordsetPtr Execute(const CString& sql);

  // The statement log: every statement text handed to Execute or
  // Recordset::Open on this connection, as the library wrote it (before any
  // rewriting), oldest first, kept across Close and Open. It is for tests and
  // diagnosis and is off unless EnableStatementLog(true) was called (or the
  // environment variable KESTAL_STATEMENT_LOG is set to a value other than
  // 0 when the first connection is made); a host that runs for days then
  // keeps nothing. Even when on it holds at most kStatementLogBytes of text:
  // the oldest entries go first, the latest always stays.
  static constexpr size_t kStatementLogBytes = 8 * 1024 * 1024;
  // Turns the statement log on or off for every connection of the process,
  // from their next statement on. Thread-safe.
  static void EnableStatementLog(bool on);
  static bool StatementLogEnabled();
  const std::deque<CString>& SentStatements() const { return sent_; }
  void ClearSentStatements() {
    sent_.clear();
    sent_bytes_ = 0;
  }

  // The last failure this connection raised, in the manner of ADO's Errors
  // collection: status, description and kind of the latest _com_error from
  // Open, Execute, BeginTrans or CommitTrans, or status 0 when there was none
  // since ClearErrors. A caller whose operation swallows the error (the
  // library's writing operations do) reads the engine's reason here.
  const _com_error& LastError() const { return last_error_; }
  void ClearErrors() { last_error_ = _com_error(0); }
  // Records e as the last error; for the library's own failures that do not
  // come from the engine (a bulk-load file that cannot be written).
  void NoteError(const _com_error& e) { last_error_ = e; }
  // Rows changed by the last INSERT, UPDATE or DELETE of the last Execute,
  // as ADO's RecordsAffected tells it; -1 when none ran or it is not known.
  long long RowsChanged() const;

  // The live engine connection, or null when closed (for the engine layer).
  kestal::db::EngineSession* Session() const { return session_.get(); }

 private:
  // Appends sql to the statement log, dropping the oldest entries past the
  // byte bound.
  void Log(const CString& sql);
  // Runs body; a _com_error it raises is kept as the last error and passed on.
  template <class Body>
  auto Noted(Body body) -> decltype(body()) {
    try {
      return body();
    } catch (const _com_error& e) {
      last_error_ = e;
      throw;
    }
  }

  CString connection_string_;
  long timeout_seconds_ = 15;
  long cursor_location_ = adUseServer;
  std::unique_ptr<kestal::db::EngineSession> session_;
  std::deque<CString> sent_;
  size_t sent_bytes_ = 0;
  _com_error last_error_{0};
};

class Command {
 public:
  void PutRefActiveConnection(const _ConnectionPtr& connection) { connection_ = connection; }
  _ConnectionPtr GetActiveConnection() const { return connection_; }
  void PutCommandText(const CString& text) { text_ = text; }
  CString GetCommandText() const { return text_; }
  // Runs the command text on the active connection (see Connection::Execute).
  // Throws kNullObject without an active connection.
  _RecordsetPtr Execute(long options = adCmdText);

 private:
  _ConnectionPtr connection_;
  CString text_;
};
using _CommandPtr = ComPtr<Command>;

class Recordset {
 public:
  Recordset();
  ~Recordset();

  // Runs sql on connection and holds all its rows, positioned on the first
  // row. cursor_type, lock_type and options are accepted as ADO takes them.
  // Throws kObjectOpen when already open; _com_error from the engine.
  void Open(const CString& sql, const _ConnectionPtr& connection, long cursor_type = adOpenStatic,
            long lock_type = adLockReadOnly, long options = adCmdText);
  // Opens the set on sql without running it: the statement runs on
  // connection at the first call that reads or moves (RecordCount, BOF, EOF,
  // a move, GetCollect, ColumnNames, Fetch), and the set holds its rows from
  // then on, positioned where the moves put it. A failure of that run is
  // raised by the call that caused it, and the next such call runs the
  // statement again. Throws kObjectOpen when already open.
  void OpenDeferred(const CString& sql, const _ConnectionPtr& connection);
  // Runs a deferred statement that has not run yet; nothing otherwise.
  // Throws kObjectClosed when not open, _com_error from the engine.
  void Fetch() const;
  // True while the set is open on a deferred statement that has not run.
  bool IsDeferred() const { return open_ && !rows_; }
  // Throws kObjectClosed when not open. A deferred statement is dropped
  // unrun.
  void Close();
  long GetState() const { return open_ ? adStateOpen : adStateClosed; }

  // Rows held. Throws kObjectClosed when not open.
  long GetRecordCount() const;
  bool IsBOF() const;
  bool IsEOF() const;
  // Positioning. MoveFirst goes to row 0 (or EOF on an empty result). Move(n)
  // moves n rows from the current one; a target before the first row or past
  // EOF throws kNoCurrentRecord and leaves the position unchanged. Landing
  // exactly on EOF (one past the last row) is allowed. MoveNext at EOF throws.
  void MoveFirst();
  void MoveNext();
  void Move(long rows);
  long AbsolutePosition() const { return row_; }

  // The value of column name (matched without regard to case) in the current
  // row. Throws kItemNotFound for an unknown column, kNoCurrentRecord at
  // BOF/EOF, kObjectClosed when not open.
  _variant_t GetCollect(const char* name) const;
  // Number and names of the result's columns (empty when closed). Runs a
  // deferred statement, raising its failure.
  std::vector<CString> ColumnNames() const;

  // Used by the layer to install a result (takes it over, opens the set).
  void Attach(std::unique_ptr<kestal::db::ResultTable> rows);

 private:
  // Throws kObjectClosed when not open; runs a deferred statement.
  void RequireOpen() const;
  // Index of column name, or throws kItemNotFound.
  size_t ColumnIndex(const char* name) const;
  bool open_ = false;
  long row_ = 0;
  // Set while open; null while a deferred statement has not run. Fetch fills
  // it and drops the statement, hence mutable: reading a deferred set is a
  // const operation.
  mutable std::unique_ptr<kestal::db::ResultTable> rows_;
  // Names asked for since rows_ was last set, each with its column: a
  // window is read by the same few names row after row. Emptied wherever
  // rows_ is set.
  mutable std::vector<std::pair<std::string, size_t>> asked_;
  mutable CString deferred_sql_;
  mutable _ConnectionPtr deferred_connection_;
};
