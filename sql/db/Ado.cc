// Connection, Command and _variant_t: the engine-independent half of the
// access layer. Text crosses the engine seam in UTF-8; this file converts it
// from and to the process code page.
#include "sql/db/Ado.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

#include "platform/Codepage.h"
#include "sql/db/Engine.h"
#include "sql/db/FaultInjection.h"

namespace {

using kestal::db::kConnectionError;
using kestal::db::kNullObject;
using kestal::db::kObjectClosed;
using kestal::db::kObjectOpen;
using kestal::db::kOutOfMemory;
using kestal::db::kStatementError;

// Runs body, turning engine failures into _com_error with the description in
// the process code page. Engine descriptions are UTF-8.
template <class Body>
auto CallEngine(HRESULT other_status, Body body) -> decltype(body()) {
  try {
    return body();
  } catch (const _com_error& e) {
    throw _com_error(e.Error(), CString(kestal::FromUtf8(e.Description().str())), e.Kind());
  } catch (const std::bad_alloc&) {
    throw _com_error(kOutOfMemory, "out of memory", kestal::db::FailureKind::kResource);
  } catch (const std::exception& e) {
    throw _com_error(other_status, CString(kestal::FromUtf8(e.what())));
  }
}

// The statement log switch: -1 not yet read from the environment, 0 off, 1 on.
std::atomic<int> g_statement_log{-1};

bool StatementLogOn() {
  int on = g_statement_log.load(std::memory_order_relaxed);
  if (on < 0) {
    const char* env = std::getenv("KESTAL_STATEMENT_LOG");
    int expected = -1;
    g_statement_log.compare_exchange_strong(
        expected, env != nullptr && *env != '\0' && std::strcmp(env, "0") != 0 ? 1 : 0);
    on = g_statement_log.load(std::memory_order_relaxed);
  }
  return on == 1;
}

}  // namespace

void Connection::EnableStatementLog(bool on) {
  g_statement_log.store(on ? 1 : 0);
}

bool Connection::StatementLogEnabled() {
  return StatementLogOn();
}

CString _variant_t::ToString() const {
  if (null_) throw _com_error(kestal::db::kTypeMismatch, "the value is NULL");
  return text_;
}

Connection::Connection() = default;
Connection::~Connection() = default;

void Connection::Open(const CString& connection_string, const CString& user,
                      const CString& password, long /*options*/) {
  if (session_) throw _com_error(kObjectOpen, "the connection is already open");
  if (!connection_string.IsEmpty()) connection_string_ = connection_string;
  // The string stays in its own bytes: a file path must reach the file
  // system exactly as the host wrote it.
  session_ = Noted([&] {
    kestal::db::CheckFault(kestal::db::FaultPoint::kOpen, connection_string_);
    return CallEngine(kConnectionError, [&] {
      auto parsed = kestal::db::ConnectionString::Parse(connection_string_.str());
      // Credentials given to Open fill in what the string leaves out.
      if (!user.IsEmpty() && !parsed.Has("User ID") && !parsed.Has("UID")) {
        parsed.Set("User ID", user.str());
      }
      if (!password.IsEmpty() && !parsed.Has("Password") && !parsed.Has("PWD")) {
        parsed.Set("Password", password.str());
      }
      // A password kept out of the string (a file, the environment) is
      // read at each connect, reconnections included.
      kestal::db::ResolvePassword(&parsed);
      return kestal::db::OpenEngine(parsed, timeout_seconds_);
    });
  });
}

void Connection::Close() {
  if (!session_) throw _com_error(kObjectClosed, "the connection is not open");
  session_.reset();
}

long Connection::BeginTrans() {
  if (!session_) throw _com_error(kObjectClosed, "the connection is not open");
  Noted([&] { CallEngine(kStatementError, [&] { session_->Begin(); }); });
  return 1;
}

void Connection::CommitTrans() {
  if (!session_) throw _com_error(kObjectClosed, "the connection is not open");
  Noted([&] {
    if (!session_->InTransaction()) {
      throw _com_error(kestal::db::kTransactionError, "no transaction is open");
    }
    CallEngine(kStatementError, [&] { session_->Commit(); });
  });
}

_RecordsetPtr Connection::Execute(const CString& sql) {
  if (StatementLogOn()) Log(sql);
  if (!session_) throw _com_error(kObjectClosed, "the connection is not open");
  std::unique_ptr<kestal::db::ResultTable> rows = Noted([&] {
    kestal::db::CheckFault(kestal::db::FaultPoint::kStatement, sql);
    return CallEngine(kStatementError,
                      [&] { return session_->Execute(kestal::ToUtf8(sql.str())); });
  });
  _RecordsetPtr result(std::make_shared<Recordset>());
  if (rows) result->Attach(std::move(rows));
  return result;
}

long long Connection::RowsChanged() const {
  return session_ ? session_->RowsChanged() : -1;
}

void Connection::Log(const CString& sql) {
  sent_.push_back(sql);
  sent_bytes_ += static_cast<size_t>(sql.GetLength());
  while (sent_.size() > 1 && sent_bytes_ > kStatementLogBytes) {
    sent_bytes_ -= static_cast<size_t>(sent_.front().GetLength());
    sent_.pop_front();
  }
}

_RecordsetPtr Command::Execute(long /*options*/) {
  if (!connection_) throw _com_error(kNullObject, "the command has no active connection");
  return connection_->Execute(text_);
}
