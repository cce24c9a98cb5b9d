// Identity values on PostgreSQL: an identity or serial column draws its
// numbers from a sequence (pg_get_serial_sequence), and IDENT_CURRENT /
// DBCC CHECKIDENT read and set that sequence.
#pragma once

#include <libpq-fe.h>

#include <string>

namespace kestal::db::postgres {

// The SQL expression for IDENT_CURRENT('table'): the last value the table's
// identity sequence gave out; for a sequence never used yet, its start value
// (what SQL Server answers for a fresh table); NULL for an unknown table or a
// table without an identity column.
std::string IdentCurrentExpression(const std::string& table);

// DBCC CHECKIDENT (table, RESEED, seed): sets the table's identity sequence
// so that the next value is seed + 1 and IDENT_CURRENT answers seed. A seed
// below the sequence's minimum lowers the minimum first. Raises
// _com_error(kStatementError) for an unknown table or one without an
// identity, and the mapped error for a failing statement.
void Reseed(PGconn* conn, const std::string& table, long long seed);

}  // namespace kestal::db::postgres
