// Joining a batch's plain inserts into pieces, and spreading a piece's count
// back over its statements: what the PostgreSQL session and the ODBC session
// send, and the per-statement counts they report from it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sql/db/tsql/InsertJoin.h"

namespace {

using kestal::db::tsql::JoinedPiece;
using kestal::db::tsql::JoinPlainInserts;
using kestal::db::tsql::PieceCounts;

TEST(InsertJoinTest, PiecesKeepTheOrderAndJoinOnlyStretchesOfOneHead) {
  struct Case {
    const char* name;
    std::vector<std::string> statements;
    std::vector<std::string> sql;  // the pieces' texts
    std::vector<std::vector<long long>> rows;
  };
  const std::vector<Case> cases = {
      {"nothing", {}, {}, {}},
      {"one insert goes as given",
       {"insert into t values (1)"},
       {"insert into t values (1)"},
       {{}}},
      {"a stretch of one head, multi-row statements among them",
       {"insert into t values (1)", "insert into t values (2), (3)", "insert into t values (4)"},
       {"insert into t values (1), (2), (3), (4)"},
       {{1, 2, 1}}},
      {"a statement between ends the stretch",
       {"insert into t values (1)", "insert into t values (2)", "update t set a = 0",
        "insert into t values (3)", "insert into t values (4)"},
       {"insert into t values (1), (2)", "update t set a = 0", "insert into t values (3), (4)"},
       {{1, 1}, {}, {1, 1}}},
      {"another head starts a new stretch",
       {"insert into t values (1)", "insert into t values (2)", "insert into u values (3)",
        "insert into u values (4)", "insert into t values (5)"},
       {"insert into t values (1), (2)", "insert into u values (3), (4)",
        "insert into t values (5)"},
       {{1, 1}, {1, 1}, {}}},
      {"a column list is part of the head",
       {"insert into t (a) values (1)", "insert into t values (2)", "insert into t values (3)"},
       {"insert into t (a) values (1)", "insert into t values (2), (3)"},
       {{}, {1, 1}}},
      {"an insert that is not plain goes as given",
       {"insert into t values (1)", "insert into t select 2", "insert into t values (3)"},
       {"insert into t values (1)", "insert into t select 2", "insert into t values (3)"},
       {{}, {}, {}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<JoinedPiece> pieces = JoinPlainInserts(c.statements);
    ASSERT_EQ(pieces.size(), c.sql.size());
    for (size_t i = 0; i < pieces.size(); ++i) {
      EXPECT_EQ(pieces[i].sql, c.sql[i]);
      EXPECT_EQ(pieces[i].statement_rows, c.rows[i]);
    }
  }
}

TEST(InsertJoinTest, AJoinedPieceTakesNoMoreOnceItHoldsThePieceBytes) {
  const std::vector<std::string> statements = {
      "insert into t values (1)", "insert into t values (2)", "insert into t values (3)",
      "insert into t values (4)", "insert into t values (5)"};
  struct Case {
    size_t piece_bytes;
    std::vector<std::string> sql;
  };
  // "insert into t values (1), (2)" holds 28 bytes of head and rows.
  const std::vector<Case> cases = {
      {28,
       {"insert into t values (1), (2)", "insert into t values (3), (4)",
        "insert into t values (5)"}},
      {29, {"insert into t values (1), (2), (3)", "insert into t values (4), (5)"}},
      {1, statements},
  };
  for (const Case& c : cases) {
    std::vector<std::string> sql;
    for (const JoinedPiece& piece : JoinPlainInserts(statements, c.piece_bytes)) {
      sql.push_back(piece.sql);
    }
    EXPECT_EQ(sql, c.sql) << c.piece_bytes;
  }
}

TEST(InsertJoinTest, APiecesCountSpreadsOverItsStatements) {
  const JoinedPiece joined{"insert into t values (1), (2), (3), (4)", {1, 2, 1}};
  const JoinedPiece alone{"update t set a = 0", {}};
  struct Case {
    const JoinedPiece* piece;
    long long reported;
    std::vector<long long> counts;
  };
  const std::vector<Case> cases = {
      {&joined, 4, {1, 2, 1}},     // every row counted: each its own
      {&joined, 0, {0, 0, 0}},     // none counted (a view's INSTEAD OF trigger)
      {&joined, 3, {-1, -1, -1}},  // some: unknown which
      {&joined, -1, {-1, -1, -1}}, {&alone, 7, {7}}, {&alone, -1, {-1}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(PieceCounts(*c.piece, c.reported), c.counts) << c.reported;
  }
}

}  // namespace
