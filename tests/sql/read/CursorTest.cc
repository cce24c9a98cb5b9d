// The table cursor, the window and rescan positioning, totals and field
// values by name, on real database files, with a second process appending.
#include <unistd.h>

#include "ReadFixture.h"
#include "sql/db/FaultInjection.h"

namespace kestal::test {
namespace {

using CursorTest = ReadTest;

bool Contains(const std::vector<std::string>& sent, const std::string& text) {
  for (const std::string& s : sent) {
    if (s == text) return true;
  }
  return false;
}

TEST_P(CursorTest, AfterOpenWaitsForTheFirstNewRowThenReadsIt) {
  CreateTrades("cjk");
  InsertRange("cjk", 1, 3);
  auto op = OpenTable("cjk");
  EXPECT_EQ("3", op->GetCurrentPos());
  EXPECT_EQ("4", op->GetTotalRecord());
  ClearSent(*op);
  EXPECT_EQ(0, op->GetRecordset());
  // Only the count: a count that did not grow reads nothing.
  EXPECT_EQ(std::vector<std::string>{"select count(*) as ALLRECORDS from cjk"}, Sent(*op));

  InsertRange("cjk", 4, 5);
  ASSERT_EQ(1, op->GetRecordset());
  EXPECT_TRUE(Contains(Sent(*op), "select * from cjk "));
  EXPECT_EQ("4", op->GetFieldValue("rec_num"));
  EXPECT_EQ("4", op->GetTotalRecordEx());
  op->MoveNext();
  ClearSent(*op);
  ASSERT_EQ(1, op->GetRecordset());
  EXPECT_TRUE(Sent(*op).empty()) << "a position inside the known rows costs no query";
  EXPECT_EQ("5", op->GetFieldValue("REC_NUM"));
  op->SetStartPos(0);
  ASSERT_EQ(1, op->GetRecordset());
  EXPECT_TRUE(Sent(*op).empty());
  EXPECT_EQ("1", op->GetFieldValue("rec_num"));
  op->MovePrev();
  EXPECT_EQ("-1", op->GetCurrentPos());
  EXPECT_EQ("0", op->GetTotalRecord());
}

TEST_P(CursorTest, FollowsATableThatASecondProcessAppendsTo) {
  CreateTrades("cjk");
  InsertRange("cjk", 1, 2);
  auto op = OpenTable("cjk");
  const std::string conn = db_->ConnectionString();
  pid_t writer = Spawn([conn] {
    _ConnectionPtr c;
    c.CreateInstance();
    c->Open(conn.c_str());
    for (long k = 3; k <= 60; ++k) {
      c->Execute(InsertSql("cjk", TradeRow{k}).c_str());
      if (k % 7 == 0) usleep(2000);
    }
    return 0;
  });
  std::vector<std::string> seen;
  const long long deadline = NowMs() + 20000;
  while (seen.size() < 58 && NowMs() < deadline) {
    if (op->GetRecordset() == 1) {
      seen.push_back(op->GetFieldValue("rec_num").str());
      op->MoveNext();
    } else {
      usleep(1000);
    }
  }
  EXPECT_EQ(0, Wait(writer));
  ASSERT_EQ(58u, seen.size());
  for (long k = 3; k <= 60; ++k) EXPECT_EQ(std::to_string(k), seen[k - 3]);
  EXPECT_EQ(0, op->GetRecordset());
}

TEST_P(CursorTest, StopsWhenTheTableShrinksBelowThePosition) {
  CreateTrades("cjk");
  InsertRange("cjk", 1, 5);
  auto op = OpenTable("cjk");
  db_->Exec("delete from cjk where rec_num > 2");
  op->SetStartPos(5);
  ClearSent(*op);
  EXPECT_EQ(0, op->GetRecordset());
  EXPECT_EQ(std::vector<std::string>{"select count(*) as ALLRECORDS from cjk"}, Sent(*op));
  EXPECT_EQ(5, op->m_lTotalRecord);
}

TEST_P(CursorTest, FailuresEndInZeroAfterTheReconnectionRule) {
  CreateTrades("cjk");
  InsertRange("cjk", 1, 3);
  auto op = OpenTable("cjk");
  // A negative position fails at the move.
  op->SetStartPos(-1);
  op->m_strTrace = "";
  EXPECT_EQ(0, op->GetRecordset());
  EXPECT_NE(-1, op->m_strTrace.Find("-ReOpenSuccess}")) << op->m_strTrace.c_str();
  // A link lost at the count.
  op->SetStartPos(3);
  op->m_strTrace = "";
  {
    db::ScopedFaultHook hook([](db::FaultPoint point, const CString& text) {
      if (point == db::FaultPoint::kStatement && text.Find("ALLRECORDS") >= 0) {
        throw _com_error(db::kConnectionError, "link lost");
      }
    });
    InsertRange("cjk", 4, 4);
    EXPECT_EQ(0, op->GetRecordset());
  }
  EXPECT_NE(-1, op->m_strTrace.Find("-ReOpenSuccess}"));
  ASSERT_EQ(1, op->GetRecordset());
  EXPECT_EQ("4", op->GetFieldValue("rec_num"));
}

TEST_P(CursorTest, MaxNumOfEmptyAndFilledTablesAndFailure) {
  CreateTrades("cjk");
  auto op = OpenTable("cjk");
  EXPECT_EQ("1", op->GetMaxNum());
  EXPECT_EQ("1", op->m_strMaxNum);
  Insert("cjk", {TradeRow{41}, TradeRow{3}});
  EXPECT_EQ("42", op->GetMaxNum());
  EXPECT_EQ("42", op->m_strMaxNum);
  db_->Exec("drop table cjk");
  EXPECT_EQ("0", op->GetMaxNum());
  EXPECT_EQ("42", op->m_strMaxNum) << "a failure keeps the last good value";
}

TEST_P(CursorTest, TotalRecordExReadsRecNumOrGivesEmptyText) {
  CreateTrades("cjk");
  db_->Exec("insert into cjk (rec_num, stock) values (NULL, '600000')");
  InsertRange("cjk", 8, 8);
  auto op = OpenTable("cjk");
  op->SetStartPos(0);
  ASSERT_EQ(1, op->GetRecordset());
  EXPECT_EQ("", op->GetTotalRecordEx()) << "NULL rec_num";
  op->MoveNext();
  ASSERT_EQ(1, op->GetRecordset());
  EXPECT_EQ("8", op->GetTotalRecordEx());
  op->m_pRecordset = nullptr;
  EXPECT_EQ("", op->GetTotalRecordEx());
}

TEST_P(CursorTest, NullFieldRefreshesReconnectsAndGivesEmptyText) {
  CreateTrades("cjk");
  db_->Exec("insert into cjk (rec_num, stock) values (1, NULL)");
  auto op = OpenTable("cjk");
  op->SetStartPos(0);
  ASSERT_EQ(1, op->GetRecordset());
  op->m_strTrace = "";
  ClearSent(*op);
  EXPECT_EQ("", op->GetFieldValue("stock"));
  const std::vector<std::string> sent = Sent(*op);
  ASSERT_GE(sent.size(), 2u);
  EXPECT_EQ("select * from cjk ", sent[0]);
  EXPECT_EQ("select count(*) as ALLRECORDS from cjk", sent[1]);
  EXPECT_NE(-1, op->m_strTrace.Find("-ReOpenSuccess}"));
  EXPECT_EQ(1, op->m_lTotalRecord);
  // Unknown columns end the same way.
  EXPECT_EQ("", op->GetFieldValue("no_such_column"));
  EXPECT_EQ("1", op->GetFieldValue("rec_num"));
}

TEST_P(CursorTest, NullFieldInsideAWindowKeepsTheWindow) {
  CreateTrades("cjk");
  InsertRange("cjk", 1, 3);
  db_->Exec("update cjk set stock = NULL where rec_num = 2");
  auto op = OpenTable("cjk");
  ASSERT_EQ(3, op->GetRecordsetForBack("", "0", 100, "CJK"));
  std::vector<std::string> keys;
  std::vector<std::string> stocks;
  while (op->SeekToCurrentPos() == 1) {
    keys.push_back(op->GetFieldValue("rec_num").str());
    stocks.push_back(op->GetFieldValue("stock").str());
    op->MoveNextEx();
  }
  EXPECT_EQ((std::vector<std::string>{"1", "2", "3"}), keys);
  EXPECT_EQ((std::vector<std::string>{"600000", "", "600000"}), stocks);
}

TEST_P(CursorTest, WindowCursorStepsEmptiesPastTheEndAndRaisesBeforeTheStart) {
  CreateTrades("cjk");
  InsertRange("cjk", 1, 3);
  auto op = OpenTable("cjk");
  EXPECT_EQ(0, op->SeekToCurrentPos()) << "no window yet";
  ASSERT_EQ(3, op->GetRecordsetForBack("", "0", 100, "CJK"));
  op->m_lCurRow = 2;
  ASSERT_EQ(1, op->SeekToCurrentPos());
  EXPECT_EQ("3", op->GetFieldValue("rec_num"));
  op->MoveNextEx();
  EXPECT_EQ(0, op->m_lCnt);
  EXPECT_EQ(0, op->SeekToCurrentPos());
  ASSERT_EQ(3, op->GetRecordsetForBack("", "0", 100, "CJK"));
  op->MovePrevEx();
  EXPECT_THROW(op->SeekToCurrentPos(), _com_error);
  op->m_pRecordset = nullptr;
  op->m_lCurRow = 0;
  EXPECT_THROW(op->SeekToCurrentPos(), _com_error);
}

TEST_P(CursorTest, MoveAcceptsZeroToCountAndRejectsTheRest) {
  CreateTrades("wtk");
  InsertRange("wtk", 1, 3);
  auto op = OpenTable("wtk");
  EXPECT_EQ(0, op->Move(0)) << "nothing loaded";
  ASSERT_EQ(3, op->GetRecordsetForBackRescan(0, "", "09:00:00", "10:00:00"));
  EXPECT_EQ(1, op->Move(1));
  EXPECT_EQ(1, op->m_lCurrentPos);
  EXPECT_EQ("2", op->GetFieldValue("serialnum"));
  EXPECT_EQ(1, op->Move(3)) << "after the last row";
  EXPECT_EQ(3, op->m_lCurrentPos);
  EXPECT_EQ(0, op->Move(4));
  EXPECT_EQ(0, op->Move(-1));
  EXPECT_EQ(3, op->m_lCurrentPos);
  EXPECT_EQ(0, op->GetNextRecord());
  op->SetStartPos(0);
  std::vector<std::string> keys;
  while (op->GetNextRecord() == 1) {
    keys.push_back(op->GetFieldValue("serialnum").str());
    op->MoveNext();
  }
  EXPECT_EQ((std::vector<std::string>{"1", "2", "3"}), keys);
  op->SetStartPos(-1);
  EXPECT_THROW(op->GetNextRecord(), _com_error);
}

KESTAL_READ_ENGINES(CursorTest);

}  // namespace
}  // namespace kestal::test
