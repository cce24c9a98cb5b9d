// The filtered fetch that follows the highest rec_num and the reading point
// set by GetRecordMaxNum, on real database files.
#include <algorithm>

#include "ReadFixture.h"
#include "sql/db/FaultInjection.h"

namespace kestal::test {
namespace {

using FilteredFetchTest = ReadTest;

const char* const kMaxSql = "select isnull(max(rec_num),0) as max_recnum from  cjk";

std::string FetchSql(long after) {
  return "select * from cjk where rec_num > " + std::to_string(after) +
         " and (substring(stock,1,3)!='737' and substring(stock,1,3)!='739')";
}

// Every rec_num of the open result, sorted (the fetch has no order clause).
std::vector<std::string> DrainSorted(CSQLOperate& op) {
  std::vector<std::string> keys;
  while (op.GetRecordsetEx() == 1) {
    keys.push_back(op.GetFieldValue("rec_num").str());
    op.MoveNextEx();
    if (op.m_lCnt == 0) break;
  }
  std::sort(keys.begin(), keys.end(),
            [](const std::string& a, const std::string& b) { return std::stol(a) < std::stol(b); });
  return keys;
}

TradeRow Stock(long key, const std::string& stock) {
  TradeRow row{key};
  row.stock = stock;
  return row;
}

TEST_P(FilteredFetchTest, FirstFetchReadsAllButStock737And739ThenOnlyChecksTheMaximum) {
  CreateTrades("cjk");
  Insert("cjk", {Stock(1, "600000"), Stock(2, "737001"), Stock(3, "739999"), Stock(4, "000737"),
                 Stock(5, "7370"), Stock(6, "73"), Stock(7, "600001"), Stock(8, "739")});
  auto op = OpenTable("cjk");
  ClearSent(*op);
  ASSERT_EQ(1, op->GetRecordsetEx());
  EXPECT_EQ((std::vector<std::string>{kMaxSql, FetchSql(-1)}), Sent(*op));
  EXPECT_EQ(4, op->m_lCnt);
  EXPECT_EQ(-1, op->m_lLastRecNum);
  EXPECT_EQ(8, op->m_lMaxRecNum);
  // While the result is open it is only repositioned.
  op->m_lCurRow = 3;
  ClearSent(*op);
  ASSERT_EQ(1, op->GetRecordsetEx());
  EXPECT_TRUE(Sent(*op).empty());
  op->m_lCurRow = 0;
  EXPECT_EQ((std::vector<std::string>{"1", "4", "6", "7"}), DrainSorted(*op));

  ClearSent(*op);
  EXPECT_EQ(0, op->GetRecordsetEx());
  EXPECT_EQ(std::vector<std::string>{kMaxSql}, Sent(*op));
}

TEST_P(FilteredFetchTest, MaxNumSetsTheStartAndGrowthIsFetchedFromIt) {
  CreateTrades("cjk");
  InsertRange("cjk", 1, 500);
  auto op = OpenTable("cjk");
  EXPECT_EQ(0, op->GetRecordMaxNum()) << "rows of an earlier day";
  EXPECT_EQ(500, op->m_lMaxRecNum);
  ClearSent(*op);
  EXPECT_EQ(0, op->GetRecordsetEx());
  EXPECT_EQ(std::vector<std::string>{kMaxSql}, Sent(*op));

  std::vector<TradeRow> rows;
  for (long k = 501; k <= 510; ++k) rows.push_back(Stock(k, k == 502 ? "737000" : "600000"));
  Insert("cjk", rows);
  ClearSent(*op);
  ASSERT_EQ(1, op->GetRecordsetEx());
  EXPECT_EQ(FetchSql(500), Sent(*op).at(1));
  EXPECT_EQ(9, op->m_lCnt);
  EXPECT_EQ(500, op->m_lLastRecNum);
  EXPECT_EQ(510, op->m_lMaxRecNum);
}

TEST_P(FilteredFetchTest, RowsThatAreAllExcludedStillAdvanceTheStart) {
  CreateTrades("cjk");
  InsertRange("cjk", 1, 500);
  auto op = OpenTable("cjk");
  op->GetRecordMaxNum();
  std::vector<TradeRow> rows;
  for (long k = 501; k <= 505; ++k) rows.push_back(Stock(k, "737123"));
  Insert("cjk", rows);
  EXPECT_EQ(0, op->GetRecordsetEx());
  EXPECT_EQ(0, op->m_lCnt);
  EXPECT_EQ(505, op->m_lMaxRecNum);
  Insert("cjk", {Stock(506, "600000")});
  ClearSent(*op);
  ASSERT_EQ(1, op->GetRecordsetEx());
  EXPECT_EQ(FetchSql(505), Sent(*op).at(1));
  EXPECT_EQ(1, op->m_lCnt);
  EXPECT_EQ("506", op->GetFieldValue("rec_num"));
}

TEST_P(FilteredFetchTest, FailedFetchSetsTheStartBackSoTheRowsComeAgain) {
  CreateTrades("cjk");
  InsertRange("cjk", 1, 3);
  auto op = OpenTable("cjk");
  EXPECT_EQ((std::vector<std::string>{"1", "2", "3"}), DrainSorted(*op));
  InsertRange("cjk", 4, 6);
  {
    db::ScopedFaultHook hook([](db::FaultPoint point, const CString& text) {
      if (point == db::FaultPoint::kStatement && text.Find("substring") >= 0) {
        throw _com_error(db::kConnectionError, "link lost");
      }
    });
    op->m_strTrace = "";
    EXPECT_EQ(0, op->GetRecordsetEx());
  }
  EXPECT_EQ(3, op->m_lMaxRecNum);
  EXPECT_EQ(3, op->m_lLastRecNum);
  EXPECT_NE(-1, op->m_strTrace.Find("ReOpenSuccess"));
  ClearSent(*op);
  ASSERT_EQ(1, op->GetRecordsetEx());
  EXPECT_EQ(FetchSql(3), Sent(*op).at(1));
  EXPECT_EQ((std::vector<std::string>{"4", "5", "6"}), DrainSorted(*op));
}

TEST_P(FilteredFetchTest, TableWithoutStockFailsAndKeepsTheStart) {
  db_->Exec("create table cjk (rec_num int, date char(8))");
  db_->Exec("insert into cjk values (1, '20260101'); insert into cjk values (2, '20260101');");
  auto op = OpenTable("cjk");
  EXPECT_EQ(0, op->GetRecordsetEx());
  EXPECT_EQ(-1, op->m_lMaxRecNum);
  EXPECT_EQ(-1, op->m_lLastRecNum);
  EXPECT_EQ(0, op->m_lCnt);
}

TEST_P(FilteredFetchTest, MaxNumComparesTheFirstDateWithTodayInUtc) {
  CreateTrades("cjk");
  auto op = OpenTable("cjk");
  EXPECT_EQ(1, op->GetRecordMaxNum());
  EXPECT_EQ(0, op->m_lMaxRecNum) << "empty table";

  TradeRow row{9};
  row.date = UtcDate(-1);
  Insert("cjk", {row, Stock(5, "600000"), Stock(7, "600000")});
  ClearSent(*op);
  EXPECT_EQ(0, op->GetRecordMaxNum()) << row.date;
  EXPECT_EQ(9, op->m_lMaxRecNum) << "the highest rec_num, not the row count";
  EXPECT_EQ((std::vector<std::string>{"select rec_num ,date from  cjk", kMaxSql}), Sent(*op));

  // Every row gets the date: which row an engine delivers first after an
  // update is its own affair.
  db_->Exec("update cjk set date = '" + UtcDate(0) + "'");
  EXPECT_EQ(1, op->GetRecordMaxNum());
  db_->Exec("update cjk set date = '" + UtcDate(1) + "'");
  EXPECT_EQ(1, op->GetRecordMaxNum());
}

TEST_P(FilteredFetchTest, MaxNumFailureGivesOneAndReconnects) {
  CreateTrades("cjk");
  InsertRange("cjk", 1, 4);
  auto op = OpenTable("cjk");
  op->m_lMaxRecNum = 77;
  db_->Exec("update cjk set date = NULL");
  op->m_strTrace = "";
  EXPECT_EQ(1, op->GetRecordMaxNum()) << "a NULL date cannot be read as text";
  EXPECT_EQ(4, op->m_lMaxRecNum) << "the row count stored before the failure";
  EXPECT_NE(-1, op->m_strTrace.Find("ReOpenSuccess"));
  db_->Exec("drop table cjk");
  op->m_lMaxRecNum = 77;
  EXPECT_EQ(1, op->GetRecordMaxNum());
  EXPECT_EQ(77, op->m_lMaxRecNum);
}

KESTAL_READ_ENGINES(FilteredFetchTest);

}  // namespace
}  // namespace kestal::test
