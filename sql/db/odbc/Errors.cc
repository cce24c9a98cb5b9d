// ODBC diagnostics to statuses (see Errors.h and README.md for the table).
#include "sql/db/odbc/Errors.h"

#include <strings.h>

#include <algorithm>
#include <cstring>

#include "platform/Codepage.h"

namespace kestal::db::odbc {
namespace {

bool ContainsNoCase(const std::string& text, const char* word) {
  const size_t n = std::strlen(word);
  for (size_t i = 0; i + n <= text.size(); ++i) {
    if (strncasecmp(text.c_str() + i, word, n) == 0) return true;
  }
  return false;
}

// True for a record that tells of a link that is gone: the connection-class
// SQLSTATEs, the shutdown states PostgreSQL passes through psqlODBC, and the
// drivers' own "connection dead" wording under a general SQLSTATE.
bool IsLinkRecord(const Diagnostic& d) {
  if (d.state.compare(0, 2, "08") == 0) return true;
  if (d.state == "57P01" || d.state == "57P02" || d.state == "57P03") return true;
  for (const char* phrase :
       {"communication link", "connection dead", "connection is dead",
        "server closed the connection", "terminating connection", "could not send query",
        "connection reset", "broken pipe", "no connection to the server", "lost connection"}) {
    if (ContainsNoCase(d.message, phrase)) return true;
  }
  return false;
}

std::string TrimLineEnds(std::string text) {
  while (!text.empty() &&
         (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == ';')) {
    text.pop_back();
  }
  return text;
}

}  // namespace

std::vector<Diagnostic> ReadDiagnostics(SQLSMALLINT handle_type, SQLHANDLE handle,
                                        const std::string& encoding) {
  std::vector<Diagnostic> records;
  if (handle == SQL_NULL_HANDLE) return records;
  for (SQLSMALLINT i = 1;; ++i) {
    SQLCHAR state[6] = {0};
    SQLINTEGER native = 0;
    SQLSMALLINT length = 0;
    std::string message(512, '\0');
    SQLRETURN rc = SQLGetDiagRec(handle_type, handle, i, state, &native,
                                 reinterpret_cast<SQLCHAR*>(&message[0]),
                                 static_cast<SQLSMALLINT>(message.size()), &length);
    if (rc == SQL_SUCCESS_WITH_INFO && length >= static_cast<SQLSMALLINT>(message.size())) {
      // The message did not fit: read it again whole.
      message.assign(static_cast<size_t>(length) + 1, '\0');
      rc = SQLGetDiagRec(handle_type, handle, i, state, &native,
                         reinterpret_cast<SQLCHAR*>(&message[0]),
                         static_cast<SQLSMALLINT>(message.size()), &length);
    }
    if (!SQL_SUCCEEDED(rc)) break;
    message.resize(std::min(static_cast<size_t>(std::max<SQLSMALLINT>(length, 0)), message.size()));
    message.resize(std::strlen(message.c_str()));
    Diagnostic d;
    d.state = reinterpret_cast<const char*>(state);
    d.native = native;
    d.message = encoding.empty() || strcasecmp(encoding.c_str(), "UTF-8") == 0
                    ? message
                    : ConvertText(message, encoding.c_str(), "UTF-8");
    d.message = TrimLineEnds(d.message);
    records.push_back(std::move(d));
  }
  return records;
}

HRESULT StatusFor(const std::vector<Diagnostic>& records, bool link_dead) {
  if (link_dead) return kConnectionError;
  for (const Diagnostic& d : records) {
    if (IsLinkRecord(d)) return kConnectionError;
  }
  for (const Diagnostic& d : records) {
    if (d.state == "HYT00" || d.state == "HYT01") return kTimeout;
  }
  return kStatementError;
}

FailureKind KindFor(const std::vector<Diagnostic>& records, bool link_dead) {
  const HRESULT status = StatusFor(records, link_dead);
  if (status == kConnectionError) return FailureKind::kLink;
  if (status == kTimeout) return FailureKind::kBusy;
  for (const Diagnostic& d : records) {
    // 57014: PostgreSQL ended the statement at its statement_timeout.
    if (d.state == "40001" || d.state == "40P01" || d.state == "55P03" || d.state == "57014") {
      return FailureKind::kBusy;
    }
    if (ContainsNoCase(d.message, "database is locked")) return FailureKind::kBusy;
    // SQLite's driver gives its engine's messages under HY000.
    for (const char* value : {"constraint failed", "conversion failed", "datatype mismatch",
                              "overflow", "out of range"}) {
      if (ContainsNoCase(d.message, value)) return FailureKind::kValue;
    }
    for (const char* statement : {"no such table", "no such column", "syntax error"}) {
      if (ContainsNoCase(d.message, statement)) return FailureKind::kStatement;
    }
    const std::string cls = d.state.substr(0, 2);
    if (cls == "22" || cls == "23") return FailureKind::kValue;
    if (cls == "42" || d.state == "S0002" || d.state == "S0022") return FailureKind::kStatement;
  }
  return FailureKind::kUnknown;
}

std::string MaskSecret(std::string text, const std::string& secret) {
  if (secret.empty()) return text;
  for (size_t at = text.find(secret); at != std::string::npos; at = text.find(secret, at + 3)) {
    text.replace(at, secret.size(), "***");
  }
  return text;
}

std::string Describe(const std::vector<Diagnostic>& records, const std::string& operation,
                     const std::string& secret) {
  std::string text;
  for (const Diagnostic& d : records) {
    if (!text.empty()) text += " / ";
    text += d.message.empty() ? std::string("(no message)") : d.message;
    text += " [SQLSTATE " + d.state + ", native error " + std::to_string(d.native) + "]";
  }
  if (text.empty()) text = operation + " failed without a diagnostic record";
  return MaskSecret(text, secret);
}

void Raise(SQLSMALLINT handle_type, SQLHANDLE handle, const std::string& operation,
           const std::string& encoding, bool link_dead, const std::string& secret) {
  const std::vector<Diagnostic> records = ReadDiagnostics(handle_type, handle, encoding);
  throw _com_error(StatusFor(records, link_dead), CString(Describe(records, operation, secret)));
}

}  // namespace kestal::db::odbc
