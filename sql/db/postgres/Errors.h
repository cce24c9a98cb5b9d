// The one place that turns libpq failures into access-layer statuses. Every
// PostgreSQL failure leaves this engine as _com_error with a UTF-8
// description: kConnectionError when the link to the server is gone (the
// caller's reconnection rule then applies), kStatementError when the server
// rejected the statement.
#pragma once

#include <libpq-fe.h>

#include <string>

#include "sql/db/ComError.h"

namespace kestal::db::postgres {

// True when the link to the server is unusable: the connection is bad, libpq
// returned no result at all, or the server reported a connection-class or
// shutdown SQLSTATE (08xxx, 57P01..57P03) such as pg_terminate_backend gives.
bool IsLinkLost(PGconn* conn, const PGresult* result);

// The status for a failed result (result may be null).
HRESULT StatusOf(PGconn* conn, const PGresult* result);

// The kind of a failed result (result may be null), by SQLSTATE class:
//   link lost (as IsLinkLost)                               -> kLink
//   lock not available 55P03, serialization 40001,
//   deadlock 40P01, statement time-out 57014                -> kBusy
//   insufficient resources 53, system errors 58, read-only
//   transaction 25006, insufficient privilege 42501,
//   program limit 54 (too large)                            -> kResource
//   data exceptions 22, integrity constraints 23            -> kValue
//   other syntax or access rule violations 42               -> kStatement
//   anything else                                           -> kUnknown
FailureKind KindOf(PGconn* conn, const PGresult* result);

// The server's primary message for result, else libpq's connection message,
// trimmed of trailing line ends. Never empty.
std::string DescriptionOf(PGconn* conn, const PGresult* result);

// Raises the _com_error for a failed result (result may be null; the caller
// keeps ownership and clears it).
[[noreturn]] void RaiseFailure(PGconn* conn, const PGresult* result);

// Raises kConnectionError for a connection that could not be established.
[[noreturn]] void RaiseConnectFailure(PGconn* conn);

// Raises kStatementError with description: statements this engine refuses
// before they reach the server (kind kStatement unless given).
[[noreturn]] void RaiseRejected(const std::string& description,
                                FailureKind kind = FailureKind::kStatement);

}  // namespace kestal::db::postgres
