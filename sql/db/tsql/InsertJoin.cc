// Joining the plain inserts of a batch into multi-row inserts (InsertJoin.h).
#include "sql/db/tsql/InsertJoin.h"

#include "sql/db/tsql/InsertRun.h"

namespace kestal::db::tsql {

std::vector<JoinedPiece> JoinPlainInserts(const std::vector<std::string>& statements,
                                          size_t piece_bytes) {
  std::vector<JoinedPiece> pieces;
  pieces.reserve(statements.size());
  InsertRun run;
  // Rows of each statement now in run.
  std::vector<long long> rows;
  auto close_run = [&] {
    if (run.size() == 1) pieces.push_back(JoinedPiece{run.statements().front(), {}});
    if (run.size() > 1) pieces.push_back(JoinedPiece{run.Joined(), rows});
    run.Clear();
    rows.clear();
  };
  for (const std::string& sql : statements) {
    if (!run.empty() && run.bytes() >= piece_bytes) close_run();
    long long before = run.total_rows();
    if (!run.Add(sql)) {
      close_run();
      before = 0;
      if (!run.Add(sql)) {
        pieces.push_back(JoinedPiece{sql, {}});
        continue;
      }
    }
    rows.push_back(run.total_rows() - before);
  }
  close_run();
  return pieces;
}

std::vector<long long> PieceCounts(const JoinedPiece& piece, long long reported) {
  if (piece.statement_rows.empty()) return {reported};
  long long total = 0;
  for (long long n : piece.statement_rows) total += n;
  std::vector<long long> counts;
  counts.reserve(piece.statement_rows.size());
  for (long long n : piece.statement_rows)
    counts.push_back(LastStatementChanged(reported, n, total));
  return counts;
}

}  // namespace kestal::db::tsql
