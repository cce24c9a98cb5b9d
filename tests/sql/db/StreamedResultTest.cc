// Large results on every engine, read whole or, as PostgreSQL reads queries
// without a filter or bound, row by row: many rows with their NULLs, GBK
// text and order; several sets in one batch and "set rowcount"; and a
// statement that fails after many of its rows were sent (a value that does
// not convert, in row 25,000): the failure is raised, no part of its rows is
// seen, and the connection, or the host's transaction, goes on.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "EngineFixture.h"

namespace kestal::test {
namespace {

using kestal::db::FailureKind;

constexpr long kRows = 30000;
constexpr long kBadRow = 25000;                      // its s is 'x' when a test asks for one
const char kGbkUtf8[] = "\xe6\x88\x90\xe4\xba\xa4";  // 成交
const char kGbk[] = "\xb3\xc9\xbd\xbb";              // the same in GBK

class StreamedResultTest : public EngineTest {
 protected:
  // P (n int, s varchar(12), t varchar(8)), rows n = 1..rows in that order:
  // s the digits of n ('x' at n = bad when bad is positive), t NULL in every
  // 7th row, GBK text in every 11th, else 't'.
  void Fill(long rows, long bad = 0) {
    db_->Exec("create table P (n int, s varchar(12), t varchar(8))");
    const std::string values =
        "k, case when k = " + std::to_string(bad) +
        " then 'x' else cast(k as varchar(12)) end, case when k % 7 = 0 then null when k % 11 = "
        "0 then '" +
        kGbkUtf8 + "' else 't' end";
    if (Backend(GetParam()) == Engine::kPostgres) {
      db_->Exec("insert into P select " + values + " from generate_series(1, " +
                std::to_string(rows) + ") k");
    } else {
      db_->Exec(
          "insert into P with recursive g(k) as (select 1 union all select k + 1 from g "
          "where k < " +
          std::to_string(rows) + ") select " + values + " from g");
    }
  }

  // Runs sql, which must fail; returns the failure.
  _com_error Failure(const char* sql) {
    try {
      conn_->Execute(sql);
      ADD_FAILURE() << "ran: " << sql;
    } catch (const _com_error& e) {
      return e;
    }
    return _com_error(0);
  }

  // The n column of every row of rs, in order.
  static std::vector<long> Keys(const _RecordsetPtr& rs) {
    std::vector<long> keys;
    for (rs->MoveFirst(); !rs->IsEOF(); rs->MoveNext()) {
      keys.push_back(std::stol(rs->GetCollect("n").ToString().str()));
    }
    return keys;
  }
};
INSTANTIATE_TEST_SUITE_P(Engines, StreamedResultTest, ::testing::ValuesIn(kAllEngines), EngineName);

// n = first..last, or last down to first when step is -1.
std::vector<long> Range(long first, long last, int step = 1) {
  std::vector<long> keys;
  for (long k = first; k <= last; ++k) keys.push_back(k);
  if (step < 0) std::reverse(keys.begin(), keys.end());
  return keys;
}

TEST_P(StreamedResultTest, ManyRowsReadWholeInOrderWithTheirNulls) {
  Fill(kRows);
  // Without a filter (PostgreSQL: row by row) and with one (whole).
  for (const char* sql :
       {"select n, s, t from P order by n", "select n, s, t from P where n > 0 order by n"}) {
    SCOPED_TRACE(sql);
    _RecordsetPtr rs = conn_->Execute(sql);
    ASSERT_EQ(kRows, rs->GetRecordCount());
    const std::vector<CString> names = rs->ColumnNames();
    ASSERT_EQ(3u, names.size());
    EXPECT_EQ("n", names[0]);
    EXPECT_EQ("t", names[2]);
    long k = 0;
    for (rs->MoveFirst(); !rs->IsEOF(); rs->MoveNext()) {
      ++k;
      ASSERT_EQ(std::to_string(k), rs->GetCollect("n").ToString().str());
      ASSERT_EQ(std::to_string(k), rs->GetCollect("s").ToString().str());
      _variant_t t = rs->GetCollect("t");
      ASSERT_EQ(k % 7 == 0, t.IsNull()) << "row " << k;
      if (!t.IsNull()) {
        ASSERT_EQ(k % 11 == 0 ? kGbk : "t", t.ToString().str()) << "row " << k;
      }
    }
    EXPECT_EQ(kRows, k);
    rs->MoveFirst();
    rs->Move(kRows - 1);
    EXPECT_EQ(std::to_string(kRows), rs->GetCollect("n").ToString().str());
  }
}

TEST_P(StreamedResultTest, BatchesGiveTheirLastSetAndRowcountCapsIt) {
  Fill(kRows);
  struct Case {
    const char* batch;
    std::vector<long> keys;
  };
  // In order: "set rowcount" stays with the session until it is cleared.
  const std::vector<Case> cases = {
      {"set rowcount 250; select n from P order by n", Range(1, 250)},
      {"select n from P where n > 29000 order by n", Range(29001, 29250)},
      {"select n from P order by n desc", Range(29751, kRows, -1)},
      {"set rowcount 0; select n from P where n <= 10 order by n; "
       "select n from P where n > 29990 order by n",
       Range(29991, kRows)},
      {"select n from P where n > 20000 order by n; update P set t = 'u' where n = 1",
       Range(20001, kRows)},
      {"select n from P order by n; update P set t = 'v' where n = 1", Range(1, kRows)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.batch);
    _RecordsetPtr rs = conn_->Execute(c.batch);
    ASSERT_EQ(adStateOpen, rs->GetState());
    EXPECT_EQ(static_cast<long>(c.keys.size()), rs->GetRecordCount());
    EXPECT_EQ(c.keys, Keys(rs));
  }
  // A last set without rows still gives its columns.
  _RecordsetPtr empty =
      conn_->Execute("select n from P order by n; select n, s from P where n < 0");
  EXPECT_EQ(0, empty->GetRecordCount());
  EXPECT_EQ(2u, empty->ColumnNames().size());
  EXPECT_TRUE(empty->IsEOF());
}

TEST_P(StreamedResultTest, FailureAfterManyRowsShowsNoRowsAndTheConnectionGoesOn) {
  Fill(kRows, kBadRow);
  _RecordsetPtr before = conn_->Execute("select n from P where n <= 3 order by n");
  // No ORDER BY, no filter: rows come as the table is scanned, so the engine
  // has sent the rows before the bad one when it meets it.
  const char kBad[] = "select n, cast(s as int) as v, t from P";
  for (int attempt = 0; attempt < 2; ++attempt) {
    const _com_error e = Failure(kBad);
    EXPECT_EQ(kestal::db::kStatementError, e.Error()) << e.Description();
    EXPECT_EQ(FailureKind::kValue, e.Kind()) << e.Description();
  }
  EXPECT_EQ(Range(1, 3), Keys(before)) << "an earlier result is untouched";
  _RecordsetPtr count = conn_->Execute("select count(*) as c from P");
  EXPECT_EQ(std::to_string(kRows), count->GetCollect("c").ToString().str());

  // Deferred: the first read fails, keeps the statement, and reads it whole
  // once the value converts.
  _RecordsetPtr deferred;
  deferred.CreateInstance();
  deferred->OpenDeferred(kBad, conn_);
  try {
    deferred->MoveFirst();
    ADD_FAILURE() << "the statement ran";
  } catch (const _com_error& e) {
    EXPECT_EQ(kestal::db::kStatementError, e.Error());
  }
  EXPECT_TRUE(deferred->IsDeferred());
  db_->Exec("update P set s = '25000' where n = 25000");
  EXPECT_EQ(kRows, deferred->GetRecordCount());
}

TEST_P(StreamedResultTest, FailureAfterManyRowsInAHostTransactionFailsAlone) {
  Fill(kRows, kBadRow);
  conn_->BeginTrans();
  conn_->Execute("insert into P (n, s) values (-1, '1')");
  EXPECT_EQ(kestal::db::kStatementError, Failure("select n, cast(s as int) as v from P").Error());
  conn_->Execute("insert into P (n, s) values (-2, '2')");
  _RecordsetPtr seen = conn_->Execute("select n from P where n < 0 order by n");
  EXPECT_EQ((std::vector<long>{-2, -1}), Keys(seen));
  EXPECT_EQ(kRows + 2, conn_->Execute("select n from P")->GetRecordCount());
  conn_->CommitTrans();
  EXPECT_EQ("2", db_->Scalar("select count(*) from P where n < 0"));
}

}  // namespace
}  // namespace kestal::test
