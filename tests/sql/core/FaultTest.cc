// Failures injected at the connection seam: refused connections and
// statements that fail in mid-call, with real and non-reconnecting statuses.
#include <memory>
#include <string>

#include "CoreFixture.h"
#include "sql/db/FaultInjection.h"

namespace kestal::test {
namespace {

using db::FaultPoint;
using db::ScopedFaultHook;
using FaultTest = CoreTest;
using SlowFaultTest = CoreTest;

// A hook that throws status for every text at point that contains needle,
// while budget lasts (a negative budget never runs out).
db::FaultHook FailOn(FaultPoint point, std::string needle, HRESULT status, int budget = -1) {
  auto left = std::make_shared<int>(budget);
  return [=](FaultPoint p, const CString& text) {
    if (p != point || text.Find(needle.c_str()) < 0 || *left == 0) return;
    if (*left > 0) --*left;
    throw _com_error(status, "injected");
  };
}

int Count(const CString& text, const char* needle) {
  int n = 0;
  for (int at = text.Find(needle); at >= 0; at = text.Find(needle, at + 1)) ++n;
  return n;
}

TEST_P(FaultTest, RefusedConnectionFailsOpen) {
  MakeQuotes(2);
  CSQLOperate o;
  {
    ScopedFaultHook hook(FailOn(FaultPoint::kOpen, "", db::kConnectionError));
    EXPECT_EQ(0, o.Open(Conn().c_str(), "quotes"));
  }
  EXPECT_TRUE(o.m_strConnect.IsEmpty());
  OpenOk(o, "quotes");
}

TEST_P(FaultTest, MappingErrorsReachTheCallerOfOpen) {
  MakeQuotes(2);
  CSQLOperate o;
  {
    ScopedFaultHook hook(FailOn(FaultPoint::kStatement, "count(*)", db::kConnectionError));
    EXPECT_THROW(o.Open(Conn().c_str(), "quotes"), _com_error);
  }
  // The columns read before the failure stay; the connect string does not
  // change until an Open succeeds.
  EXPECT_EQ(3, o.m_nFieldCount);
  EXPECT_TRUE(o.m_strConnect.IsEmpty());
  {
    ScopedFaultHook hook(FailOn(FaultPoint::kStatement, "sysobjects", db::kStatementError));
    EXPECT_THROW(o.Open(Conn().c_str(), "quotes"), _com_error);
  }
  OpenOk(o, "quotes");
}

TEST_P(FaultTest, ReOpenReportsFailuresAsZero) {
  MakeQuotes(2);
  CSQLOperate o;
  OpenOk(o, "quotes");
  {
    ScopedFaultHook hook(FailOn(FaultPoint::kStatement, "syscolumns", db::kConnectionError));
    EXPECT_EQ(0, o.ReOpen());
  }
  {
    ScopedFaultHook hook(FailOn(FaultPoint::kOpen, "", db::kConnectionError));
    EXPECT_EQ(0, o.ReOpen());
    EXPECT_EQ(0, o.IsOpenAlive());
  }
  EXPECT_EQ(1, o.ReOpen());
  EXPECT_EQ(2, o.m_lTotalRecord);
}

TEST_P(FaultTest, BlockReadErrorWithout800DoesNotReconnect) {
  MakeQuotes(3);
  CSQLOperate o;
  OpenOk(o, "quotes");
  MessageBoxCatcher boxes;
  {
    ScopedFaultHook hook(FailOn(FaultPoint::kStatement, "select top", 0x12345678));
    EXPECT_EQ(0, o.ReadToBufferFromDB(10));
  }
  ASSERT_EQ(1u, boxes.texts.size());
  EXPECT_EQ(std::string(ReadFailedText()) + "select top 10 * from quotes where id > 0 ",
            boxes.texts[0].str());
  EXPECT_TRUE(o.m_strTrace.IsEmpty());
  EXPECT_EQ(0, o.m_lReadNum);
  EXPECT_EQ(3, o.ReadToBufferFromDB(10));
}

TEST_P(FaultTest, BlockReadRecoversAfterLostLink) {
  MakeQuotes(3);
  CSQLOperate o;
  OpenOk(o, "quotes");
  MessageBoxCatcher boxes;
  {
    // The statement fails and so does the one reconnection attempt.
    ScopedFaultHook hook([](FaultPoint p, const CString& text) {
      if (p == FaultPoint::kOpen || text.Find("select top") >= 0) {
        throw _com_error(db::kConnectionError, "link lost");
      }
    });
    EXPECT_EQ(0, o.ReadToBufferFromDB(10));
  }
  EXPECT_EQ(1, Count(o.m_strTrace, "-ReOpenException Sleep500}"));
  EXPECT_EQ(adStateClosed, o.m_pConnection->GetState());
  // The link is back: the next read fails on the closed connection, the rule
  // reconnects, and the read after that succeeds.
  EXPECT_EQ(0, o.ReadToBufferFromDB(10));
  EXPECT_EQ(1, Count(o.m_strTrace, "-ReOpenSuccess}"));
  EXPECT_EQ(3, o.ReadToBufferFromDB(10));
  EXPECT_EQ(2u, boxes.texts.size());
}

TEST_P(SlowFaultTest, ReOpenExOutlastsTwoRefusals) {
  MakeQuotes(1);
  CSQLOperate o;
  OpenOk(o, "quotes");
  ScopedFaultHook hook(FailOn(FaultPoint::kOpen, "", db::kConnectionError, 2));
  const long long start = NowMs();
  EXPECT_EQ(1, o.ReOpenEx(3));
  EXPECT_GE(NowMs() - start, 1000);
  EXPECT_EQ(2, Count(o.m_strTrace, "-ReOpenException Sleep500}"));
  EXPECT_EQ(1, Count(o.m_strTrace, "-ReOpenSuccess}"));
  EXPECT_GT(o.m_strTrace.Find("-ReOpenSuccess}"), o.m_strTrace.Find("Sleep500}"));
}

TEST_P(FaultTest, ClearRowLimitSwallowsFailures) {
  MakeQuotes(1);
  CSQLOperate o;
  OpenOk(o, "quotes");
  ScopedFaultHook hook(FailOn(FaultPoint::kStatement, "set rowcount", db::kStatementError));
  CSQLOperateCoreProbe::ClearRowLimit(o);
  EXPECT_EQ("set rowcount 0", o.m_pConnection->SentStatements().back());
}

INSTANTIATE_TEST_SUITE_P(Engines, FaultTest, ::testing::Values(Engine::kSqlite), EngineName);
INSTANTIATE_TEST_SUITE_P(Engines, SlowFaultTest, ::testing::Values(Engine::kSqlite), EngineName);

}  // namespace
}  // namespace kestal::test
