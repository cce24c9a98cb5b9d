// libpq failures to statuses and failure kinds (see Errors.h).
#include "sql/db/postgres/Errors.h"

#include <cstring>

namespace kestal::db::postgres {
namespace {

std::string TrimLineEnds(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
    text.pop_back();
  }
  return text;
}

// SQLSTATEs after which the session cannot go on: connection exceptions and
// the administrator or crash shutdowns that end a backend.
bool IsLinkSqlState(const char* state) {
  if (state == nullptr) return false;
  if (std::strncmp(state, "08", 2) == 0) return true;
  return std::strcmp(state, "57P01") == 0 || std::strcmp(state, "57P02") == 0 ||
         std::strcmp(state, "57P03") == 0;
}

}  // namespace

bool IsLinkLost(PGconn* conn, const PGresult* result) {
  if (conn == nullptr || PQstatus(conn) == CONNECTION_BAD) return true;
  if (result == nullptr) return true;
  const ExecStatusType status = PQresultStatus(result);
  if (status == PGRES_FATAL_ERROR || status == PGRES_BAD_RESPONSE) {
    const char* state = PQresultErrorField(result, PG_DIAG_SQLSTATE);
    // libpq-generated failures (a lost socket) carry no SQLSTATE.
    if (state == nullptr) return true;
    return IsLinkSqlState(state);
  }
  return false;
}

HRESULT StatusOf(PGconn* conn, const PGresult* result) {
  return IsLinkLost(conn, result) ? kConnectionError : kStatementError;
}

FailureKind KindOf(PGconn* conn, const PGresult* result) {
  if (IsLinkLost(conn, result)) return FailureKind::kLink;
  const char* state = PQresultErrorField(result, PG_DIAG_SQLSTATE);
  if (state == nullptr) return FailureKind::kUnknown;
  const std::string code(state);
  if (code == "55P03" || code == "40001" || code == "40P01" || code == "57014") {
    return FailureKind::kBusy;
  }
  const std::string cls = code.substr(0, 2);
  if (cls == "53" || cls == "58" || cls == "54" || code == "25006" || code == "42501") {
    return FailureKind::kResource;
  }
  if (cls == "22" || cls == "23") return FailureKind::kValue;
  if (cls == "42") return FailureKind::kStatement;
  return FailureKind::kUnknown;
}

std::string DescriptionOf(PGconn* conn, const PGresult* result) {
  std::string text;
  if (result != nullptr) {
    const char* primary = PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY);
    if (primary != nullptr) text = primary;
    if (text.empty()) text = PQresultErrorMessage(result);
  }
  if (text.empty() && conn != nullptr) text = PQerrorMessage(conn);
  text = TrimLineEnds(text);
  if (text.empty()) text = "connection to the PostgreSQL server lost";
  return text;
}

void RaiseFailure(PGconn* conn, const PGresult* result) {
  throw _com_error(StatusOf(conn, result), CString(DescriptionOf(conn, result)),
                   KindOf(conn, result));
}

void RaiseConnectFailure(PGconn* conn) {
  std::string text = conn != nullptr ? TrimLineEnds(PQerrorMessage(conn)) : std::string();
  if (text.empty()) text = "could not connect to the PostgreSQL server";
  throw _com_error(kConnectionError, CString(text), FailureKind::kLink);
}

void RaiseRejected(const std::string& description, FailureKind kind) {
  throw _com_error(kStatementError, CString(description), kind);
}

}  // namespace kestal::db::postgres
