// The statements of a batch with each stretch of plain inserts of one head
// written as one multi-row INSERT (InsertRun.h), for the sessions that send a
// stretch of writes in one round trip (PostgreSQL, and PostgreSQL through
// ODBC). Internal to the engine sessions.
//
// What must hold: the pieces, run in order, do what the statements do run in
// order, when none fails. A session that meets a failure in a joined piece
// runs the statements again one by one (InsertRun.h says why), and reports
// per statement the counts PieceCounts gives.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace kestal::db::tsql {

// One statement to send: a statement as given, or the joined insert of two
// or more consecutive statements.
struct JoinedPiece {
  std::string sql;
  // The rows each statement of a joined insert inserts, in order; empty for
  // a statement sent as given.
  std::vector<long long> statement_rows;
};

// The statements as pieces: every stretch of two or more plain inserts of
// one head joined into one piece, every other statement a piece of its own.
// A joined piece takes no further statement once it holds piece_bytes or
// more: a server plans a VALUES list of thousands of rows more slowly per
// row than several lists of hundreds.
std::vector<JoinedPiece> JoinPlainInserts(const std::vector<std::string>& statements,
                                          size_t piece_bytes = static_cast<size_t>(-1));

// The row count of each statement of piece, given the count the piece
// reported (LastStatementChanged for each statement of a joined insert; the
// count itself for a statement sent as given).
std::vector<long long> PieceCounts(const JoinedPiece& piece, long long reported);

}  // namespace kestal::db::tsql
