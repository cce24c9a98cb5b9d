// Connection, Command and _variant_t: the engine-independent half of the
// access layer. Text crosses the engine seam in UTF-8; this file converts it
// from and to the process code page.
#include "sql/db/Ado.h"

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
    throw _com_error(e.Error(), CString(kestal::FromUtf8(e.Description().str())));
  } catch (const std::bad_alloc&) {
    throw _com_error(kOutOfMemory, "out of memory");
  } catch (const std::exception& e) {
    throw _com_error(other_status, CString(kestal::FromUtf8(e.what())));
  }
}

}  // namespace

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
  kestal::db::CheckFault(kestal::db::FaultPoint::kOpen, connection_string_);
  // The string stays in its own bytes: a file path must reach the file
  // system exactly as the host wrote it.
  session_ = CallEngine(kConnectionError, [&] {
    auto parsed = kestal::db::ConnectionString::Parse(connection_string_.str());
    // Credentials given to Open fill in what the string leaves out.
    if (!user.IsEmpty() && !parsed.Has("User ID") && !parsed.Has("UID")) {
      parsed.Set("User ID", user.str());
    }
    if (!password.IsEmpty() && !parsed.Has("Password") && !parsed.Has("PWD")) {
      parsed.Set("Password", password.str());
    }
    return kestal::db::OpenEngine(parsed, timeout_seconds_);
  });
}

void Connection::Close() {
  if (!session_) throw _com_error(kObjectClosed, "the connection is not open");
  session_.reset();
}

long Connection::BeginTrans() {
  if (!session_) throw _com_error(kObjectClosed, "the connection is not open");
  CallEngine(kStatementError, [&] { session_->Begin(); });
  return 1;
}

void Connection::CommitTrans() {
  if (!session_) throw _com_error(kObjectClosed, "the connection is not open");
  if (!session_->InTransaction()) {
    throw _com_error(kestal::db::kTransactionError, "no transaction is open");
  }
  CallEngine(kStatementError, [&] { session_->Commit(); });
}

_RecordsetPtr Connection::Execute(const CString& sql) {
  sent_.push_back(sql);
  // Dropped in halves, so that keeping the log bounded costs O(1) per call.
  constexpr size_t kKeep = 50000;
  if (sent_.size() > 2 * kKeep) sent_.erase(sent_.begin(), sent_.end() - kKeep);
  if (!session_) throw _com_error(kObjectClosed, "the connection is not open");
  kestal::db::CheckFault(kestal::db::FaultPoint::kStatement, sql);
  std::unique_ptr<kestal::db::ResultTable> rows =
      CallEngine(kStatementError, [&] { return session_->Execute(kestal::ToUtf8(sql.str())); });
  _RecordsetPtr result(std::make_shared<Recordset>());
  if (rows) result->Attach(std::move(rows));
  return result;
}

long long Connection::RowsChanged() const {
  return session_ ? session_->RowsChanged() : -1;
}

_RecordsetPtr Command::Execute(long /*options*/) {
  if (!connection_) throw _com_error(kNullObject, "the command has no active connection");
  return connection_->Execute(text_);
}
