// Rescans by time of day on real database files: both table types, both time
// text forms, inclusive bounds, filters, and failures.
#include "ReadFixture.h"
#include "sql/db/FaultInjection.h"

namespace kestal::test {
namespace {

using RescanTest = ReadTest;

TradeRow At(long key, const std::string& time, const std::string& cjsj, const std::string& bs) {
  TradeRow row{key};
  row.time = time;
  row.cjsj = cjsj;
  row.bs = bs;
  return row;
}

std::vector<std::string> DrainRescan(CSQLOperate& op, const char* column) {
  std::vector<std::string> values;
  while (op.GetNextRecord() == 1) {
    values.push_back(op.GetFieldValue(column).str());
    op.MoveNext();
  }
  return values;
}

TEST_P(RescanTest, TimeColumnInBothFormsWithBothBoundsIncluded) {
  CreateTrades("wtk");
  // Inserted out of key order: the result comes in serialnum order.
  Insert("wtk", {At(5, "2026-12-07 09:59:59", "", "B"), At(1, "09:29:59", "", "B"),
                 At(3, "2026-12-07 09:30:00", "", "S"), At(2, "09:30:00", "", "B"),
                 At(4, "09:45:10", "", "B"), At(6, "10:00:00", "", "B"),
                 At(7, "2026-12-06 10:00:00", "", "B")});
  auto op = OpenTable("wtk");
  op->m_lCurRow = 7;
  op->m_nRetryCount = 2;
  op->m_strTrace = "kept";
  ClearSent(*op);
  ASSERT_EQ(4, op->GetRecordsetForBackRescan(0, "", "09:30:00", "09:59:59"));
  EXPECT_EQ(
      (std::vector<std::string>{
          "select * from wtk where convert(varchar(8) ,cast(time as datetime),108)>='09:30:00' "
          "and convert(varchar(8) ,cast(time as datetime),108)<='09:59:59' order by serialnum",
          "set rowcount 0"}),
      Sent(*op));
  EXPECT_EQ(0, op->m_lCurrentPos);
  EXPECT_EQ(4, op->m_lCnt);
  EXPECT_EQ(7, op->m_lCurRow);
  EXPECT_EQ(2, op->m_nRetryCount);
  EXPECT_EQ("kept", op->m_strTrace);
  EXPECT_EQ((std::vector<std::string>{"2", "3", "4", "5"}), DrainRescan(*op, "serialnum"));

  ClearSent(*op);
  ASSERT_EQ(
      5, op->GetRecordsetForBackRescan(0, "time>LONGTODAY and bs=\"B\"", "09:30:00", "10:00:00"));
  EXPECT_EQ(
      "select * from wtk where  convert(varchar(8) ,cast(time as datetime),108)>='09:30:00' and "
      "convert(varchar(8) ,cast(time as datetime),108)<='10:00:00' and (  bs='B' ) order by "
      "serialnum",
      Sent(*op).at(0));
  EXPECT_EQ((std::vector<std::string>{"2", "4", "5", "6", "7"}), DrainRescan(*op, "serialnum"));
}

TEST_P(RescanTest, CjsjDigitsWithFilterInRecNumOrder) {
  CreateTrades("cjk");
  Insert("cjk", {At(3, "", "93000", "B"), At(1, "", "92959", "B"), At(2, "", "100000", "S"),
                 At(4, "", "100001", "B"), At(5, "", "95000", "X")});
  auto op = OpenTable("cjk");
  ClearSent(*op);
  ASSERT_EQ(2, op->GetRecordsetForBackRescan(1, "bs='B' or bs='S'", "93000", "100000"));
  EXPECT_EQ(
      "select * from cjk where  cast(cjsj as int)>=cast('93000' as int) and  cast(cjsj as "
      "int)<=cast('100000' as int) and ( bs='B' or bs='S' ) order by rec_num",
      Sent(*op).at(0));
  EXPECT_EQ((std::vector<std::string>{"2", "3"}), DrainRescan(*op, "rec_num"));

  ClearSent(*op);
  ASSERT_EQ(3, op->GetRecordsetForBackRescan(1, "", "93000", "100000"));
  EXPECT_EQ(
      "select * from cjk where  cast(cjsj as int)>=cast('93000' as int) and  cast(cjsj as "
      "int)<=cast('100000' as int) order by rec_num",
      Sent(*op).at(0));
  EXPECT_EQ((std::vector<std::string>{"2", "3", "5"}), DrainRescan(*op, "rec_num"));
}

TEST_P(RescanTest, OtherTypesDoNothingAndKeepTheResult) {
  CreateTrades("cjk");
  InsertRange("cjk", 1, 3);
  auto op = OpenTable("cjk");
  ASSERT_EQ(3, op->GetRecordsetForBackRescan(1, "", "0", "99999999"));
  ASSERT_EQ(1, op->Move(1));
  const Recordset* before = op->m_pRecordset.get();
  ClearSent(*op);
  EXPECT_EQ(0, op->GetRecordsetForBackRescan(2, "", "0", "99999999"));
  EXPECT_EQ(0, op->GetRecordsetForBackRescan(-1, "", "0", "99999999"));
  EXPECT_TRUE(Sent(*op).empty());
  EXPECT_EQ(before, op->m_pRecordset.get());
  EXPECT_EQ(3, op->m_lCnt);
  EXPECT_EQ("2", op->GetFieldValue("rec_num"));
}

TEST_P(RescanTest, NoQualifyingRowSendsNoRowLimit) {
  CreateTrades("cjk");
  InsertRange("cjk", 1, 3);
  auto op = OpenTable("cjk");
  op->m_lCurrentPos = 9;
  ClearSent(*op);
  EXPECT_EQ(0, op->GetRecordsetForBackRescan(1, "", "110000", "120000"));
  EXPECT_EQ(0, op->m_lCnt);
  EXPECT_EQ(1u, Sent(*op).size());
  EXPECT_EQ(9, op->m_lCurrentPos);
}

TEST_P(RescanTest, FailuresEmptyTheResultAndReconnect) {
  CreateTrades("cjk");
  InsertRange("cjk", 1, 3);
  auto op = OpenTable("cjk");
  ASSERT_EQ(3, op->GetRecordsetForBackRescan(1, "", "0", "99999999"));
  {
    db::ScopedFaultHook hook([](db::FaultPoint point, const CString& text) {
      if (point == db::FaultPoint::kStatement && text.Find("cjsj") >= 0) {
        throw _com_error(db::kConnectionError, "link lost");
      }
    });
    op->m_strTrace = "";
    EXPECT_EQ(0, op->GetRecordsetForBackRescan(1, "", "0", "99999999"));
  }
  EXPECT_EQ(0, op->m_lCnt);
  EXPECT_NE(-1, op->m_strTrace.Find("ReOpenSuccess"));
  {
    db::ScopedFaultHook hook([](db::FaultPoint point, const CString& text) {
      if (point == db::FaultPoint::kStatement && text.Find("cjsj") >= 0) {
        throw _com_error(0x00000042, "no reconnection for this one");
      }
    });
    EXPECT_EQ(-1, op->GetRecordsetForBackRescan(1, "", "0", "99999999"));
    EXPECT_EQ(0, op->m_lCnt);
  }
  // A missing table is an engine error: reconnection, then 0.
  db_->Exec("drop table cjk");
  EXPECT_EQ(0, op->GetRecordsetForBackRescan(0, "", "09:00:00", "10:00:00"));
  EXPECT_EQ(0, op->m_lCnt);
}

KESTAL_READ_ENGINES(RescanTest);

}  // namespace
}  // namespace kestal::test
