// Keys passed over at the tenth look (GetSkippedKeys), the watch that looks
// for them with one query, and the transaction snapshots that hold a gap on
// PostgreSQL: on real databases, with writers on their own connections.
#include <algorithm>
#include <chrono>

#include "ReadFixture.h"
#include "sql/LateWatch.h"
#include "support/NativeWriter.h"

namespace kestal::test {
namespace {

using SkippedKeysTest = ReadTest;
using LateWatchTest = ReadTest;
using TxEvidenceTest = ReadTest;

int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

// Calls the window fetch until the tenth look of a gap delivers (or the
// window is contiguous); returns the final result.
int LookUntilDelivered(CSQLOperate& op, const char* filter, const char* from, int count) {
  int n = CSQLOperate::kGapCode;
  for (int look = 0; look < 10 && n == CSQLOperate::kGapCode; ++look) {
    n = op.GetRecordsetForBack(filter, from, count, "CJK");
  }
  return n;
}

using Runs = std::vector<std::pair<int64_t, int64_t>>;

Runs RunsOf(const std::vector<SKIPPEDKEYS>& v) {
  Runs out;
  for (const SKIPPEDKEYS& s : v) out.emplace_back(s.lFirst, s.lLast);
  return out;
}

TEST_P(SkippedKeysTest, TenthLookRecordsEachMissingRunWithItsTimeAndNoStatement) {
  CreateTrades("cjk");
  InsertRange("cjk", 101, 119);
  InsertRange("cjk", 123, 140);
  InsertRange("cjk", 142, 150);
  auto op = OpenTable("cjk");
  for (int look = 1; look <= 9; ++look) {
    ASSERT_EQ(CSQLOperate::kGapCode, op->GetRecordsetForBack("", "100", 100, "CJK"));
    EXPECT_TRUE(op->GetSkippedKeys(false).empty()) << "a held gap is not a skip";
  }
  ClearSent(*op);
  const int64_t before = NowMs();
  ASSERT_EQ(46, op->GetRecordsetForBack("", "100", 100, "CJK"));
  const int64_t after = NowMs();
  // The tenth look sends what it always sent: count, limit, fetch, no limit.
  EXPECT_EQ(4u, Sent(*op).size());
  ClearSent(*op);
  const std::vector<SKIPPEDKEYS> kept = op->GetSkippedKeys(false);
  EXPECT_EQ((Runs{{120, 122}, {141, 141}}), RunsOf(kept));
  for (const SKIPPEDKEYS& s : kept) {
    EXPECT_LE(before, s.tSkipped);
    EXPECT_GE(after, s.tSkipped);
  }
  // The cursor was placed again: the window reads from its first row.
  std::vector<std::string> keys = DrainWindow(*op, "rec_num");
  ASSERT_EQ(46u, keys.size());
  EXPECT_EQ("101", keys.front());
  EXPECT_EQ((Runs{{120, 122}, {141, 141}}), RunsOf(op->GetSkippedKeys()));
  EXPECT_TRUE(op->GetSkippedKeys().empty());
  EXPECT_TRUE(Sent(*op).empty()) << "GetSkippedKeys sent a statement";
}

TEST_P(SkippedKeysTest, ContiguousWindowsAndFilledGapsRecordNothing) {
  CreateTrades("cjk");
  InsertRange("cjk", 1, 5);
  InsertRange("cjk", 7, 9);
  auto op = OpenTable("cjk");
  ASSERT_EQ(CSQLOperate::kGapCode, op->GetRecordsetForBack("", "0", 100, "CJK"));
  InsertRange("cjk", 6, 6);
  ASSERT_EQ(9, op->GetRecordsetForBack("", "0", 100, "CJK"));
  DrainWindow(*op, "rec_num");
  EXPECT_TRUE(op->GetSkippedKeys().empty());
}

// The cases where the fetch does not return the whole window: keys above the
// last row fetched are counted again by the next call, so they are not
// skipped yet; keys of rows a filter turned away are among the runs.
TEST_P(SkippedKeysTest, RunsEndAtTheLastRowFetched) {
  struct Case {
    const char* name;
    std::vector<TradeRow> rows;
    const char* filter;
    int count;
    int delivered;
    Runs runs;
  };
  auto Rows = [](std::vector<std::pair<long, const char*>> keys) {
    std::vector<TradeRow> rows;
    for (auto& k : keys) {
      TradeRow r{k.first};
      r.bs = k.second;
      rows.push_back(r);
    }
    return rows;
  };
  const std::vector<Case> cases = {
      {"row limit cuts the window",
       Rows({{1, "B"}, {2, "B"}, {4, "B"}, {5, "B"}, {7, "B"}, {8, "B"}, {9, "B"}}),
       "",
       3,
       3,
       {{3, 3}}},
      {"filter turns rows away",
       Rows({{1, "B"}, {2, "S"}, {4, "B"}, {5, "S"}}),
       "bs=\"B\"",
       100,
       2,
       {{2, 3}}},
      {"filter turns every row away", Rows({{1, "S"}, {3, "S"}}), "bs=\"B\"", 100, 0, {{1, 3}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    db_->Exec("drop table if exists cjk");
    CreateTrades("cjk");
    Insert("cjk", c.rows);
    auto op = OpenTable("cjk");
    EXPECT_EQ(c.delivered, LookUntilDelivered(*op, c.filter, "0", c.count));
    EXPECT_EQ(c.runs, RunsOf(op->GetSkippedKeys()));
  }
}

TEST_P(LateWatchTest, OneQueryPerLookFindsLateRowsOnceAndSplitsRuns) {
  CreateTrades("cjk");
  auto op = OpenTable("cjk");
  LateWatch watch(60000);
  const int64_t t = NowMs();
  watch.Watch({120, 124, t});
  watch.Watch({141, 141, t});
  watch.Watch({9, 8, t});  // empty run: ignored
  EXPECT_EQ(6, watch.KeyCount());

  ClearSent(*op);
  LateWatch::Found none = watch.Look(*op, "", "CJK");
  EXPECT_TRUE(none.keys.empty());
  EXPECT_FALSE(none.rows);
  EXPECT_EQ(1u, Sent(*op).size());

  InsertRange("cjk", 122, 122);
  InsertRange("cjk", 141, 141);
  InsertRange("cjk", 130, 130);  // not watched
  ClearSent(*op);
  LateWatch::Found found = watch.Look(*op, "", "CJK");
  ASSERT_EQ(1u, Sent(*op).size()) << "one query for every watched key";
  EXPECT_EQ((std::vector<int64_t>{122, 141}), found.keys);
  ASSERT_TRUE(found.rows);
  std::vector<std::string> rows;
  for (; !found.rows->IsEOF(); found.rows->MoveNext()) {
    rows.push_back(found.rows->GetCollect("rec_num").ToString().str());
  }
  EXPECT_EQ((std::vector<std::string>{"122", "141"}), rows);
  ASSERT_EQ(2u, watch.watched().size());
  EXPECT_EQ(120, watch.watched()[0].first);
  EXPECT_EQ(121, watch.watched()[0].last);
  EXPECT_EQ(123, watch.watched()[1].first);
  EXPECT_EQ(124, watch.watched()[1].last);

  // Found rows are not found again.
  EXPECT_TRUE(watch.Look(*op, "", "CJK").keys.empty());
}

TEST_P(LateWatchTest, FilterReadsOnlyTheFoundRowsAgain) {
  CreateTrades("cjk");
  auto op = OpenTable("cjk");
  LateWatch watch(60000);
  watch.Watch({1, 10, NowMs()});
  TradeRow sell{4};
  sell.bs = "S";
  Insert("cjk", {TradeRow{3}, sell});
  ClearSent(*op);
  LateWatch::Found found = watch.Look(*op, "bs=\"B\"", "CJK");
  EXPECT_EQ(2u, Sent(*op).size());
  EXPECT_EQ((std::vector<int64_t>{3, 4}), found.keys);
  ASSERT_TRUE(found.rows);
  EXPECT_EQ("3", found.rows->GetCollect("rec_num").ToString().str());
  found.rows->MoveNext();
  EXPECT_TRUE(found.rows->IsEOF());
  EXPECT_EQ(8, watch.KeyCount());
}

TEST_P(LateWatchTest, RunsEndOnlyAfterALookAtOrPastTheirTime) {
  CreateTrades("cjk");
  auto op = OpenTable("cjk");
  LateWatch watch(0);
  watch.Watch({5, 6, NowMs() - 10});
  watch.Restore({8, 8, 0, NowMs() + 600000, 0});
  EXPECT_TRUE(watch.Expire().empty()) << "not looked for since the time ran out";
  InsertRange("cjk", 6, 6);
  EXPECT_EQ((std::vector<int64_t>{6}), watch.Look(*op, "", "CJK").keys);
  const std::vector<WatchedKeys> ended = watch.Expire();
  ASSERT_EQ(1u, ended.size());
  EXPECT_EQ(5, ended[0].first);
  EXPECT_EQ(5, ended[0].last);
  ASSERT_EQ(1u, watch.watched().size());
  EXPECT_EQ(8, watch.watched()[0].first);
}

TEST_P(LateWatchTest, FailedLookLeavesTheWatchAsItWas) {
  CreateTrades("cjk");
  auto op = OpenTable("cjk");
  LateWatch watch(60000);
  watch.Watch({5, 6, NowMs()});
  db_->Exec("drop table cjk");
  EXPECT_THROW(watch.Look(*op, "", "CJK"), _com_error);
  EXPECT_EQ(2, watch.KeyCount());
  EXPECT_TRUE(watch.Expire().empty());
}

TEST(TxSnapshotTest, ParsesOnlyWellFormedSnapshots) {
  struct Case {
    const char* text;
    bool ok;
    uint64_t xmin, xmax;
    std::vector<uint64_t> xip;
  };
  const Case cases[] = {
      {"10:20:", true, 10, 20, {}},
      {"10:20:12,15", true, 10, 20, {12, 15}},
      {"10:10:", true, 10, 10, {}},
      {"", false, 0, 0, {}},
      {"10:20", false, 0, 0, {}},
      {"a:20:", false, 0, 0, {}},
      {"20:10:", false, 0, 0, {}},
      {"10:20:25", false, 0, 0, {}},
      {"10:20:5", false, 0, 0, {}},
      {"10:20:12,", false, 0, 0, {}},
      {"10:20:15,12", false, 0, 0, {}},
      {"10:20:12 ", false, 0, 0, {}},
      {"99999999999999999999:1:", false, 0, 0, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    TxSnapshot s;
    ASSERT_EQ(c.ok, ParseTxSnapshot(c.text, &s));
    if (!c.ok) continue;
    EXPECT_EQ(c.xmin, s.xmin);
    EXPECT_EQ(c.xmax, s.xmax);
    EXPECT_EQ(c.xip, s.xip);
  }
}

TEST(TxSnapshotTest, InFlightOnlyWhileAFirstTransactionStillRuns) {
  struct Case {
    const char* first;
    const char* now;
    bool in_flight;
  };
  const Case cases[] = {
      {"10:20:", "10:20:", false},            // nothing ran at the start
      {"10:20:12", "10:25:12,21", true},      // 12 still runs
      {"10:20:12", "13:25:21", false},        // 12 ended (below xmin)
      {"10:20:12,15", "12:25:15", true},      // 15 still runs
      {"10:20:12,15", "12:25:16,21", false},  // both ended
      {"10:20:12", "11:25:", false},          // nothing runs now
  };
  for (const Case& c : cases) {
    TxSnapshot first;
    TxSnapshot now;
    ASSERT_TRUE(ParseTxSnapshot(c.first, &first)) << c.first;
    ASSERT_TRUE(ParseTxSnapshot(c.now, &now)) << c.now;
    EXPECT_EQ(c.in_flight, AnyStillInFlight(first, now)) << c.first << " then " << c.now;
  }
}

TEST_P(TxEvidenceTest, SnapshotShowsAWriterInFlightUntilItCommits) {
  CreateTrades("cjk");
  auto op = OpenTable("cjk");
  if (!ShowsTransactionsInFlight(*op)) {
    // SQLite, natively or through its ODBC driver, shows a reader no writer.
    EXPECT_EQ(Engine::kSqlite, Backend(db_->engine()));
    EXPECT_THROW(TakeTxSnapshot(*op), _com_error);
    return;
  }
  ASSERT_NE(Engine::kSqlite, Backend(db_->engine()));
  NativeWriter writer(*db_);
  writer.Exec("begin");
  writer.Exec(InsertSql("cjk", TradeRow{5}));
  // The writer holds the newest transaction number: a plain snapshot leaves
  // it out of the list, the start snapshot has it.
  const TxSnapshot first = TakeStartSnapshot(*op);
  EXPECT_FALSE(first.xip.empty());
  EXPECT_TRUE(AnyStillInFlight(first, TakeTxSnapshot(*op)));
  writer.Exec("commit");
  // The cluster is shared with other tests whose transactions may still
  // run: judge the writer's own transaction, read from its row.
  TxSnapshot writer_only = first;
  writer_only.xip = {std::stoull(db_->Scalar("select xmin::text from cjk"))};
  EXPECT_TRUE(std::binary_search(first.xip.begin(), first.xip.end(), writer_only.xip[0]));
  EXPECT_FALSE(AnyStillInFlight(writer_only, TakeTxSnapshot(*op)));
}

KESTAL_READ_ENGINES(SkippedKeysTest);
KESTAL_READ_ENGINES(LateWatchTest);
KESTAL_READ_ENGINES(TxEvidenceTest);

}  // namespace
}  // namespace kestal::test
