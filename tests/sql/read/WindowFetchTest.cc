// The continuity-checked window fetch on real database files: statements,
// trace, gap detection and its tenth-call fetch, the row limit, and faults at
// the connection seam.
#include <unistd.h>

#include <cstdio>
#include <regex>

#include "ReadFixture.h"
#include "sql/db/FaultInjection.h"

namespace kestal::test {
namespace {

using WindowFetchTest = ReadTest;
using SlowWindowFetchTest = ReadTest;

// GBK pieces of the gap messages: "发现", "之间", "不连续", "条".
const std::string kFound = "\xB7\xA2\xCF\xD6";
const std::string kBetween = "\xD6\xAE\xBC\xE4";
const std::string kNotContiguous = "\xB2\xBB\xC1\xAC\xD0\xF8";
const std::string kRows = "\xCC\xF5";

std::string GapRetry(const std::string& column, const std::string& from, const std::string& max,
                     int missing, int retry) {
  return kFound + from + "-" + max + kBetween + column + kNotContiguous + "(" +
         std::to_string(missing) + kRows + "),retryTime=" + std::to_string(retry);
}

std::string GapFinal(const std::string& column, const std::string& from, const std::string& max,
                     int missing) {
  return kFound + from + "-" + max + kBetween + column + kNotContiguous + "(" +
         std::to_string(missing) + kRows + ")";
}

std::vector<std::string> Keys(long first, long last) {
  std::vector<std::string> keys;
  for (long k = first; k <= last; ++k) keys.push_back(std::to_string(k));
  return keys;
}

std::vector<long> Range(long first, long last) {
  std::vector<long> keys;
  for (long k = first; k <= last; ++k) keys.push_back(k);
  return keys;
}

bool Matches(const CString& text, const std::string& pattern) {
  return std::regex_match(text.str(), std::regex(pattern));
}

TEST_P(WindowFetchTest, ContiguousWindowCountsLimitsFetchesAndClears) {
  CreateTrades("cjk");
  InsertRange("cjk", 101, 150);
  auto op = OpenTable("cjk");
  ClearSent(*op);
  ASSERT_EQ(50, op->GetRecordsetForBack("", "100", 100, "CJK"));
  EXPECT_EQ((std::vector<std::string>{
                "select count(*) as CurRecCnt,max(rec_num) as maxCurRecNum from cjk where "
                "rec_num>100 and rec_num<=200",
                "set rowcount 100",
                "select * from cjk where rec_num>100 and rec_num<=150 order by rec_num",
                "set rowcount 0"}),
            Sent(*op));
  EXPECT_TRUE(Matches(op->m_strTrace,
                      R"(\[Close Count=\d+\}\]->\[Create Count=\d+\]->)"
                      R"(\[1:cjk where rec_num>100 and rec_num<=200\] \{Count=\d+\})"
                      R"(--->\[CurRecCnt=50,maxCurRecNum=150\])"
                      R"(\[2:cjk where rec_num>100 and rec_num<=150 order by rec_num\])"
                      R"(--->\[m_lCnt=50 \{Count=\d+\}\])"))
      << op->m_strTrace.c_str();
  EXPECT_EQ(0, op->m_lCurRow);
  EXPECT_EQ("", op->m_strGapInfo);
  EXPECT_EQ(Keys(101, 150), DrainWindow(*op, "rec_num"));

  ClearSent(*op);
  EXPECT_EQ(0, op->GetRecordsetForBack("", "150", 100, "CJK"));
  EXPECT_EQ(1u, Sent(*op).size()) << "an empty window sends no fetch";
  EXPECT_EQ(0, op->m_lCnt);
  EXPECT_EQ(0, op->m_nRetryCount);
  EXPECT_EQ("", op->m_strLastKey);
}

TEST_P(WindowFetchTest, SmallCountWidensTheWindowAndLimitsTheRows) {
  CreateTrades("cjk");
  InsertRange("cjk", 1001, 1120);
  auto op = OpenTable("cjk");
  ClearSent(*op);
  ASSERT_EQ(50, op->GetRecordsetForBack("", "1000", 50, "CJK"));
  const std::vector<std::string> sent = Sent(*op);
  ASSERT_EQ(4u, sent.size());
  EXPECT_NE(std::string::npos, sent[0].find("where rec_num>1000 and rec_num<=1100"));
  EXPECT_EQ("set rowcount 50", sent[1]);
  EXPECT_EQ("select * from cjk where rec_num>1000 and rec_num<=1100 order by rec_num", sent[2]);

  // A host that passes back the last key it read gets every row once.
  std::vector<std::string> all = DrainWindow(*op, "rec_num");
  for (int call = 0; call < 10; ++call) {
    int got = op->GetRecordsetForBack("", all.back().c_str(), 50, "CJK");
    if (got == 0) break;
    ASSERT_GT(got, 0);
    for (const std::string& k : DrainWindow(*op, "rec_num")) all.push_back(k);
  }
  EXPECT_EQ(Keys(1001, 1120), all);

  // A count of 0 keeps the window 100 wide and sets no limit.
  ClearSent(*op);
  InsertRange("cjk", 1121, 1250);
  ASSERT_EQ(100, op->GetRecordsetForBack("", "1120", 0, "CJK"));
  EXPECT_NE(std::string::npos, Sent(*op).at(0).find("rec_num>1120 and rec_num<=1220"));
  EXPECT_EQ("set rowcount 0", Sent(*op).at(1));
}

TEST_P(WindowFetchTest, GapWaitsOnTheSameWindowUntilTheMissingRowsArrive) {
  CreateTrades("cjk");
  auto op = OpenTable("cjk");
  WriterProcess writer(db_->ConnectionString(), "cjk");
  ASSERT_TRUE(writer.Append(Range(101, 119)));
  ASSERT_TRUE(writer.Append(Range(123, 150)));
  ClearSent(*op);
  EXPECT_EQ(CSQLOperate::kGapCode, op->GetRecordsetForBack("", "100", 100, "CJK"));
  EXPECT_EQ(-20091123, CSQLOperate::kGapCode);
  EXPECT_EQ(GapRetry("rec_num", "100", "150", 3, 1), op->m_strGapInfo.str());
  EXPECT_EQ("150", op->m_strGapStart);
  EXPECT_EQ(1, op->m_nRetryCount);
  EXPECT_EQ(0, op->m_lCnt);
  EXPECT_EQ(1u, Sent(*op).size()) << "no fetch while the gap is open";

  // Rows above the gap do not widen the re-checked window.
  ASSERT_TRUE(writer.Append(Range(151, 160)));
  ClearSent(*op);
  EXPECT_EQ(CSQLOperate::kGapCode, op->GetRecordsetForBack("", "100", 100, "CJK"));
  EXPECT_EQ(
      "select count(*) as CurRecCnt,max(rec_num) as maxCurRecNum from cjk where rec_num>100 and "
      "rec_num<=150",
      Sent(*op).at(0));
  EXPECT_EQ(GapRetry("rec_num", "100", "150", 3, 2), op->m_strGapInfo.str());

  ASSERT_TRUE(writer.Append(Range(120, 122)));
  ASSERT_EQ(50, op->GetRecordsetForBack("", "100", 100, "CJK"));
  EXPECT_EQ(0, op->m_nRetryCount);
  EXPECT_EQ("", op->m_strGapInfo);
  EXPECT_EQ(Keys(101, 150), DrainWindow(*op, "rec_num"));
  ASSERT_EQ(10, op->GetRecordsetForBack("", "150", 100, "CJK"));
}

TEST_P(WindowFetchTest, TenthDetectionFetchesPastTheGapWithTheFinalMessage) {
  CreateTrades("cjk");
  auto op = OpenTable("cjk");
  WriterProcess writer(db_->ConnectionString(), "cjk");
  ASSERT_TRUE(writer.Append(Range(101, 119)));
  ASSERT_TRUE(writer.Append(Range(123, 150)));
  for (int retry = 1; retry <= 9; ++retry) {
    ASSERT_EQ(CSQLOperate::kGapCode, op->GetRecordsetForBack("", "100", 100, "CJK"));
    EXPECT_EQ(GapRetry("rec_num", "100", "150", 3, retry), op->m_strGapInfo.str());
  }
  ASSERT_EQ(47, op->GetRecordsetForBack("", "100", 100, "CJK"));
  EXPECT_EQ(GapFinal("rec_num", "100", "150", 3), op->m_strGapInfo.str());
  EXPECT_EQ(0, op->m_nRetryCount);
  std::vector<std::string> expected = Keys(101, 119);
  for (const std::string& k : Keys(123, 150)) expected.push_back(k);
  EXPECT_EQ(expected, DrainWindow(*op, "rec_num"));
}

TEST_P(WindowFetchTest, DuplicateKeysCountAsAGapWithANegativeNumber) {
  CreateTrades("cjk");
  auto op = OpenTable("cjk");
  WriterProcess writer(db_->ConnectionString(), "cjk");
  ASSERT_TRUE(writer.Append(Range(101, 110)));
  ASSERT_TRUE(writer.Append({105}));
  EXPECT_EQ(CSQLOperate::kGapCode, op->GetRecordsetForBack("", "100", 100, "CJK"));
  EXPECT_EQ(GapRetry("rec_num", "100", "110", -1, 1), op->m_strGapInfo.str());
}

TEST_P(WindowFetchTest, FilterThatExcludesTheWindowLeavesTheLastKeyAndNoLimit) {
  CreateTrades("cjk");
  InsertRange("cjk", 1, 20);
  auto op = OpenTable("cjk");
  ClearSent(*op);
  EXPECT_EQ(0, op->GetRecordsetForBack("bs='S'", "0", 5, "CJK"));
  EXPECT_EQ("20", op->m_strLastKey);
  EXPECT_EQ(0, op->m_lCnt);
  const std::vector<std::string> sent = Sent(*op);
  ASSERT_EQ(4u, sent.size());
  EXPECT_EQ("select * from cjk where rec_num>0 and ( bs='S' ) and rec_num<=20 order by rec_num",
            sent[2]);
  EXPECT_EQ("set rowcount 0", sent[3]);
  // Another operation on the connection sees every row.
  EXPECT_EQ(1, op->GetRecordsetEx());
  EXPECT_EQ(20, op->m_lCnt);

  // The host goes on from the key it was given.
  Insert("cjk", {TradeRow{21, "600000", "S"}});
  op->m_lCnt = 0;
  ASSERT_EQ(1, op->GetRecordsetForBack("bs='S'", op->m_strLastKey, 5, "CJK"));
  EXPECT_EQ("21", op->GetFieldValue("rec_num"));
  EXPECT_EQ("", op->m_strLastKey);
}

TEST_P(WindowFetchTest, FilterBracesQuotesAndLongTodayClauses) {
  CreateTrades("cjk");
  Insert("cjk", {TradeRow{1, "600000", "B"}, TradeRow{2, "600001", "B"}, TradeRow{3, "600000", "X"},
                 TradeRow{4, "600000", "S"}});
  auto op = OpenTable("cjk");
  ClearSent(*op);
  ASSERT_EQ(
      2, op->GetRecordsetForBack("stock=\"600000\" and time>LONGTODAY and {bs=\"B\" or bs=\"S\"}",
                                 "0", 100, "CJK"));
  EXPECT_EQ(
      "select * from cjk where rec_num>0 and ( stock='600000' and (bs='B' or bs='S') ) and "
      "rec_num<=4 order by rec_num",
      Sent(*op).at(2));
  EXPECT_NE(-1, op->m_strTrace.Find("[2:cjk where rec_num>0 and ( stock='600000' and (bs='B' or "
                                    "bs='S') ) and rec_num<=4 order by rec_num]"));
  EXPECT_EQ((std::vector<std::string>{"1", "4"}), DrainWindow(*op, "rec_num"));
}

TEST_P(WindowFetchTest, KeyColumnFollowsTheTableTag) {
  CreateTrades("wtk");
  // rec_num runs backwards so that the two key columns order differently.
  db_->Exec(
      "insert into wtk (rec_num, serialnum, bs) values (30, 1, 'B'); "
      "insert into wtk (rec_num, serialnum, bs) values (20, 2, 'B'); "
      "insert into wtk (rec_num, serialnum, bs) values (10, 3, 'B');");
  auto op = OpenTable("wtk");
  for (const char* tag : {"WTK", "cjk", ""}) {
    op->m_lCnt = 0;
    ClearSent(*op);
    ASSERT_EQ(3, op->GetRecordsetForBack("", "0", 100, tag)) << tag;
    EXPECT_EQ((std::vector<std::string>{
                  "select count(*) as CurRecCnt,max(serialnum) as maxCurRecNum from wtk where "
                  "serialnum>0 and serialnum<=100 ",
                  "set rowcount 100",
                  "select * from wtk where serialnum>0 and serialnum<=3 order by serialnum",
                  "set rowcount 0"}),
              Sent(*op))
        << tag;
    EXPECT_EQ((std::vector<std::string>{"1", "2", "3"}), DrainWindow(*op, "serialnum"));
  }
  ASSERT_EQ(CSQLOperate::kGapCode, op->GetRecordsetForBack("", "0", 100, "CJK"));
  EXPECT_EQ(GapRetry("rec_num", "0", "30", 27, 1), op->m_strGapInfo.str());
  db_->Exec("insert into wtk (rec_num, serialnum) values (40, 5)");
  op->m_nRetryCount = 0;
  ASSERT_EQ(CSQLOperate::kGapCode, op->GetRecordsetForBack("", "0", 100, "WTK"));
  EXPECT_EQ(GapRetry("serialnum", "0", "5", 1, 1), op->m_strGapInfo.str());
  op->m_nRetryCount = 9;  // the next detection is the tenth
  ASSERT_EQ(4, op->GetRecordsetForBack("", "0", 100, "WTK"));
  EXPECT_EQ(GapFinal("serialnum", "0", "5", 1), op->m_strGapInfo.str());
}

TEST_P(WindowFetchTest, NegativeKeysFetchWithoutAnUpperBound) {
  CreateTrades("wtk");
  InsertRange("wtk", -5, -1);
  auto op = OpenTable("wtk");
  ClearSent(*op);
  ASSERT_EQ(5, op->GetRecordsetForBack("", "-6", 100, "WTK"));
  EXPECT_EQ("select * from wtk where serialnum>-6  order by serialnum", Sent(*op).at(2));
  EXPECT_NE(-1, op->m_strTrace.Find("[2:wtk where serialnum>-6 order by serialnum]"));
  EXPECT_EQ(Keys(-5, -1), DrainWindow(*op, "serialnum"));

  ClearSent(*op);
  ASSERT_EQ(5, op->GetRecordsetForBack("bs='B'", "-6", 100, "CJK"));
  EXPECT_EQ("select * from wtk where rec_num>-6 and ( bs='B' ) order by rec_num", Sent(*op).at(2));
  op->m_lCnt = 0;
  ClearSent(*op);
  EXPECT_EQ(0, op->GetRecordsetForBack("bs='S'", "-6", 100, "WTK"));
  EXPECT_EQ("select * from wtk where serialnum>-6 and ( bs='S' ) order by serialnum",
            Sent(*op).at(2));
  EXPECT_EQ("", op->m_strLastKey) << "a negative highest key is not handed out";
  op->m_lCnt = 0;
  ClearSent(*op);
  EXPECT_EQ(5, op->GetRecordsetForBack("", "-6", 100, "CJK"));
  EXPECT_EQ("select * from wtk where rec_num>-6 order by rec_num", Sent(*op).at(2));
}

TEST_P(WindowFetchTest, OpenWindowIsServedWithoutAStatement) {
  CreateTrades("cjk");
  InsertRange("cjk", 1, 5);
  auto op = OpenTable("cjk");
  ASSERT_EQ(5, op->GetRecordsetForBack("", "0", 100, "CJK"));
  op->m_lCurRow = 2;
  ClearSent(*op);
  EXPECT_EQ(5, op->GetRecordsetForBack("", "999", 100, "CJK"));
  EXPECT_TRUE(Sent(*op).empty());
  EXPECT_EQ("", op->m_strTrace);
  EXPECT_EQ("3", op->GetFieldValue("rec_num"));
  op->m_lCurRow = 5;
  EXPECT_EQ(0, op->GetRecordsetForBack("", "0", 100, "CJK"));
  EXPECT_EQ(0, op->m_lCnt);
  EXPECT_TRUE(Sent(*op).empty());
  EXPECT_EQ(5, op->GetRecordsetForBack("", "0", 100, "CJK"));
  EXPECT_EQ(4u, Sent(*op).size());
}

TEST_P(WindowFetchTest, KeyThatIsNotANumberIsRefusedBeforeAnyStatement) {
  CreateTrades("cjk");
  InsertRange("cjk", 1, 5);
  auto op = OpenTable("cjk");
  ClearSent(*op);
  for (const char* key : {"0 or 1=1", "", "1; drop table cjk", "12abc"}) {
    EXPECT_EQ(-1, op->GetRecordsetForBack("", key, 100, "CJK")) << key;
    EXPECT_EQ("===>[2:0]", op->m_strTrace) << key;
    EXPECT_EQ(0, op->m_lCnt);
  }
  EXPECT_TRUE(Sent(*op).empty());
  EXPECT_EQ("5", db_->Scalar("select count(*) from cjk"));
}

TEST_P(WindowFetchTest, KeyWithBlanksAroundTheDigitsIsTheNumber) {
  CreateTrades("cjk");
  InsertRange("cjk", 1, 15);
  auto op = OpenTable("cjk");
  // As a char(n) key column hands them back: padded, or right-aligned.
  for (const char* key : {" 10", "10 ", "  10    ", "\t10\t", "10\t "}) {
    ClearSent(*op);
    ASSERT_EQ(5, op->GetRecordsetForBack("", key, 100, "CJK")) << key << op->m_strTrace.c_str();
    EXPECT_EQ(
        "select count(*) as CurRecCnt,max(rec_num) as maxCurRecNum from cjk where rec_num>10 and "
        "rec_num<=110",
        Sent(*op).at(0))
        << key;
    EXPECT_EQ(Keys(11, 15), DrainWindow(*op, "rec_num")) << key;
  }
  // The key of a gap message is the number, without its blanks.
  InsertRange("cjk", 17, 17);
  ASSERT_EQ(CSQLOperate::kGapCode, op->GetRecordsetForBack("", " 10 ", 100, "CJK"));
  EXPECT_EQ(GapRetry("rec_num", "10", "17", 1, 1), op->m_strGapInfo.str());
  op->m_nRetryCount = 0;
  // Anything else that is not a plain number stays refused, before any
  // statement.
  ClearSent(*op);
  for (const char* key : {" ", "1 0", "10 x", "- 1", "+", "\n10", "10\r\n", "0x10", " 10;"}) {
    EXPECT_EQ(-1, op->GetRecordsetForBack("", key, 100, "CJK")) << key;
    EXPECT_EQ("===>[2:0]", op->m_strTrace) << key;
  }
  EXPECT_TRUE(Sent(*op).empty());
}

// A window of 11..20 read up to 15; then the result set is replaced (a
// reconnection by ReOpen, a new Open, the table cursor re-reading a grown
// table). The host goes on from 15 and must get 16 onwards, never rows of
// the whole-table result served by the old window's row count.
TEST_P(WindowFetchTest, ReplacedResultSetUnloadsTheWindow) {
  const struct {
    const char* name;
    int (*replace)(CSQLOperate&, const std::string&);
  } replacers[] = {
      {"ReOpen", [](CSQLOperate& op, const std::string&) { return op.ReOpen(); }},
      {"Open",
       [](CSQLOperate& op, const std::string& conn) { return op.Open(conn.c_str(), "cjk"); }},
      {"GetRecordset", [](CSQLOperate& op, const std::string&) { return op.GetRecordset(); }},
  };
  CreateTrades("cjk");
  InsertRange("cjk", 1, 30);
  long next = 31;
  for (const auto& r : replacers) {
    auto op = OpenTable("cjk");
    ASSERT_EQ(10, op->GetRecordsetForBack("", "10", 10, "CJK")) << r.name;
    std::vector<std::string> read;
    for (int i = 0; i < 5; ++i) {
      ASSERT_EQ(1, op->SeekToCurrentPos());
      read.push_back(op->GetFieldValue("rec_num").str());
      op->MoveNextEx();
    }
    ASSERT_EQ(Keys(11, 15), read);
    InsertRange("cjk", next, next);  // the table cursor re-reads a grown table only
    ++next;
    ASSERT_EQ(1, r.replace(*op, db_->ConnectionString())) << r.name;
    EXPECT_EQ(0, op->m_lCnt) << r.name;
    ASSERT_EQ(10, op->GetRecordsetForBack("", "15", 10, "CJK")) << r.name;
    EXPECT_EQ(Keys(16, 25), DrainWindow(*op, "rec_num")) << r.name;
  }
}

TEST_P(WindowFetchTest, LinkLostAtTheCountReconnectsAndKeepsTheGapSeries) {
  CreateTrades("cjk");
  InsertRange("cjk", 1, 9);
  InsertRange("cjk", 11, 20);
  auto op = OpenTable("cjk");
  ASSERT_EQ(CSQLOperate::kGapCode, op->GetRecordsetForBack("", "0", 100, "CJK"));
  {
    db::ScopedFaultHook hook([](db::FaultPoint point, const CString& text) {
      if (point == db::FaultPoint::kStatement && text.Find("CurRecCnt") >= 0) {
        throw _com_error(db::kConnectionError, "link lost");
      }
    });
    EXPECT_EQ(0, op->GetRecordsetForBack("", "0", 100, "CJK"));
  }
  EXPECT_TRUE(Matches(op->m_strTrace,
                      R"(\[Close Count=\d+\}\]->\[Create Count=\d+\]->)"
                      R"(\[1:cjk where rec_num>0 and rec_num<=20\])"
                      R"(--->\[2:0\]\{\d+:\d+:\d+:\d+-ReOpenSuccess\}--->\[ReOpen\{Count=\d+\}\])"))
      << op->m_strTrace.c_str();
  EXPECT_EQ(0, op->m_lCnt);
  EXPECT_EQ(1, op->m_nRetryCount);
  EXPECT_EQ("20", op->m_strGapStart);
  EXPECT_EQ("", op->m_strGapInfo) << "cleared at the start of every call";
  InsertRange("cjk", 10, 10);
  ASSERT_EQ(20, op->GetRecordsetForBack("", "0", 100, "CJK"));
}

TEST_P(WindowFetchTest, FailureBetweenLimitAndFetchClearsTheLimit) {
  CreateTrades("cjk");
  InsertRange("cjk", 1, 20);
  auto op = OpenTable("cjk");
  {
    // A status without "800" in it: no reconnection hides a leftover limit.
    db::ScopedFaultHook hook([](db::FaultPoint point, const CString& text) {
      if (point == db::FaultPoint::kStatement && text.Find("order by rec_num") >= 0) {
        throw _com_error(0x00000123, "fetch failed");
      }
    });
    EXPECT_EQ(-1, op->GetRecordsetForBack("", "0", 5, "CJK"));
  }
  EXPECT_EQ(std::string::npos, op->m_strTrace.str().find("ReOpen"));
  EXPECT_TRUE(Matches(op->m_strTrace,
                      R"(.*\[2:cjk where rec_num>0 and rec_num<=20 order by rec_num\]--->\[2:0\])"))
      << op->m_strTrace.c_str();
  EXPECT_EQ(0, op->m_lCnt);
  EXPECT_EQ("set rowcount 0", Sent(*op).back());
  // A later rescan on the same connection sees every row, not five.
  EXPECT_EQ(20, op->GetRecordsetForBackRescan(1, "", "0", "99999999"));
}

TEST_P(WindowFetchTest, FollowsAWriterThatFillsGapsLate) {
  CreateTrades("cjk");
  auto op = OpenTable("cjk");
  const std::string conn = db_->ConnectionString();
  constexpr long kLast = 400;
  // Keys arrive as k+1, k+3, (pause) k+2, k+4: every block opens a gap for a
  // moment and closes it long before a reader could call ten times.
  pid_t writer = Spawn([conn] {
    _ConnectionPtr c;
    c.CreateInstance();
    c->Open(conn.c_str());
    for (long k = 0; k < kLast; k += 4) {
      c->Execute(InsertSql("cjk", TradeRow{k + 1}).c_str());
      c->Execute(InsertSql("cjk", TradeRow{k + 3}).c_str());
      usleep(3000);
      c->Execute(InsertSql("cjk", TradeRow{k + 2}).c_str());
      c->Execute(InsertSql("cjk", TradeRow{k + 4}).c_str());
    }
    return 0;
  });
  std::vector<std::string> seen;
  std::string lastKey = "0";
  int gaps = 0;
  const long long deadline = NowMs() + 30000;
  while (seen.size() < static_cast<size_t>(kLast) && NowMs() < deadline) {
    int got = op->GetRecordsetForBack("", lastKey.c_str(), 50, "CJK");
    if (got == CSQLOperate::kGapCode) {
      ++gaps;
      EXPECT_NE(std::string::npos, op->m_strGapInfo.str().find("retryTime="));
      usleep(20000);
    } else if (got > 0) {
      EXPECT_EQ("", op->m_strGapInfo) << "no row may be skipped";
      for (const std::string& k : DrainWindow(*op, "rec_num")) seen.push_back(k);
      lastKey = seen.back();
    } else {
      ASSERT_EQ(0, got) << op->m_strTrace.c_str();
      usleep(1000);
    }
  }
  EXPECT_EQ(0, Wait(writer));
  EXPECT_EQ(Keys(1, kLast), seen);
  EXPECT_GT(gaps, 0);
}

KESTAL_READ_ENGINES(WindowFetchTest);

// Two failed reconnection attempts sleep half a second each.
TEST_P(SlowWindowFetchTest, DatabaseOfflineGivesMinusOneUntilItIsBack) {
  CreateTrades("cjk");
  InsertRange("cjk", 1, 20);
  auto op = OpenTable("cjk");
  db_->TakeOffline();
  {
    db::ScopedFaultHook hook([](db::FaultPoint point, const CString&) {
      if (point == db::FaultPoint::kStatement) throw _com_error(db::kConnectionError, "link lost");
    });
    EXPECT_EQ(-1, op->GetRecordsetForBack("", "0", 100, "CJK"));
  }
  EXPECT_TRUE(
      Matches(op->m_strTrace, R"(.*--->\[2:0\]\{\d+:\d+:\d+:\d+-ReOpenException Sleep500\})"))
      << op->m_strTrace.c_str();
  EXPECT_EQ(0, op->m_lCnt);
  // The connection stays down while the database is offline.
  EXPECT_EQ(-1, op->GetRecordsetForBack("", "0", 100, "CJK"));
  db_->BringOnline();
  EXPECT_EQ(0, op->GetRecordsetForBack("", "0", 100, "CJK")) << op->m_strTrace.c_str();
  EXPECT_EQ(20, op->GetRecordsetForBack("", "0", 100, "CJK"));
}

KESTAL_READ_ENGINES(SlowWindowFetchTest);

}  // namespace
}  // namespace kestal::test
