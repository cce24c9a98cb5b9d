// The one place where ODBC diagnostics become access-layer statuses. Every
// failed ODBC call of this engine ends here: all diagnostic records of the
// handle are read, and the failure leaves the engine as _com_error with a
// UTF-8 description carrying the server's message and native error number.
#pragma once

#include <sql.h>
#include <sqlext.h>

#include <string>
#include <vector>

#include "sql/db/ComError.h"

namespace kestal::db::odbc {

// One diagnostic record as the driver gave it (message already in UTF-8).
struct Diagnostic {
  std::string state;  // five-character SQLSTATE
  long native = 0;    // the server's (or driver's) own error number
  std::string message;
};

// Every diagnostic record of handle, in order. Messages are decoded from
// encoding ("" or "UTF-8": taken as they are).
std::vector<Diagnostic> ReadDiagnostics(SQLSMALLINT handle_type, SQLHANDLE handle,
                                        const std::string& encoding = std::string());

// The status for a failure with these records:
//   SQLSTATE class 08, 57P01..57P03 (a backend ended by the server) or a
//   message telling of a lost communication link   -> kConnectionError
//   HYT00, HYT01 (time-out expired)                -> kTimeout
//   anything else                                  -> kStatementError
// link_dead (SQL_ATTR_CONNECTION_DEAD) forces kConnectionError.
HRESULT StatusFor(const std::vector<Diagnostic>& records, bool link_dead = false);

// What the failure says about the caller's next step: kLink where StatusFor
// gives kConnectionError; kBusy for time-outs, deadlocks and serialization
// failures; kValue for SQLSTATE classes 22 and 23; kStatement for class 42
// and the refusals of unknown objects; kUnknown otherwise.
FailureKind KindFor(const std::vector<Diagnostic>& records, bool link_dead = false);

// "message [SQLSTATE s, native n]" for each record, joined by " / ", with
// every occurrence of secret (a password) masked. Never empty.
std::string Describe(const std::vector<Diagnostic>& records, const std::string& operation,
                     const std::string& secret = std::string());

// The mapped _com_error for a failed call on handle; operation names the
// call ("SQLExecDirect", "connect to DSN=x"). link_dead as for StatusFor.
[[noreturn]] void Raise(SQLSMALLINT handle_type, SQLHANDLE handle, const std::string& operation,
                        const std::string& encoding = std::string(), bool link_dead = false,
                        const std::string& secret = std::string());

// Every occurrence of secret in text replaced by "***" (text unchanged when
// secret is empty).
std::string MaskSecret(std::string text, const std::string& secret);

}  // namespace kestal::db::odbc
