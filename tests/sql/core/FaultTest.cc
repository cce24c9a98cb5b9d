// Failures injected at the connection seam: refused connections and
// statements that fail in mid-call.
#include "CoreFixture.h"
#include "sql/db/FaultInjection.h"

namespace kestal::test {
namespace {

using db::FaultPoint;
using db::ScopedFaultHook;
using FaultTest = CoreTest;
using SlowFaultTest = CoreTest;

// A hook that throws status at point for texts containing needle, at most
// budget times (a negative budget never runs out).
db::FaultHook FailOn(FaultPoint point, std::string needle, HRESULT status, int budget = -1) {
  auto left = std::make_shared<int>(budget);
  return [=](FaultPoint p, const CString& text) {
    if (p != point || text.Find(needle.c_str()) < 0 || *left == 0) return;
    --*left;
    throw _com_error(status, "injected");
  };
}

TEST_P(FaultTest, OpenAndReOpen) {
  MakeQuotes(2);
  CSQLOperate o;
  {
    ScopedFaultHook hook(FailOn(FaultPoint::kOpen, "", db::kConnectionError));
    EXPECT_EQ(0, o.Open(Conn().c_str(), "quotes"));
  }
  {
    // An error while mapping fails Open with its reason; columns read stay.
    ScopedFaultHook hook(FailOn(FaultPoint::kStatement, "count(*)", db::kConnectionError));
    EXPECT_EQ(0, o.Open(Conn().c_str(), "quotes"));
    EXPECT_NE(-1, o.GetLastErrorMsg().Find("injected"));
    EXPECT_EQ(3, o.m_nFieldCount);
  }
  EXPECT_TRUE(o.m_strConnect.IsEmpty());
  OpenOk(o, "quotes");
  {
    ScopedFaultHook hook(FailOn(FaultPoint::kStatement, "syscolumns", db::kConnectionError));
    EXPECT_EQ(0, o.ReOpen());
  }
  EXPECT_EQ(1, o.ReOpen());
}

TEST_P(FaultTest, BlockReadRecoversAfterLostLink) {
  MakeQuotes(3);
  CSQLOperate o;
  OpenOk(o, "quotes");
  MessageBoxCatcher boxes;
  {
    ScopedFaultHook hook(FailOn(FaultPoint::kStatement, "select top", 0x12345678));
    EXPECT_EQ(0, o.ReadToBufferFromDB(10));  // no "800": no reconnection
  }
  EXPECT_EQ(ReadFailed("select top 10 * from quotes where id > 0 "), boxes.texts.at(0));
  EXPECT_TRUE(o.m_strTrace.IsEmpty());
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
  // The link is back: the read on the closed connection fails and reconnects,
  // the next one succeeds.
  EXPECT_EQ(0, o.ReadToBufferFromDB(10));
  EXPECT_EQ(1, Count(o.m_strTrace, "-ReOpenSuccess}"));
  EXPECT_EQ(3, o.ReadToBufferFromDB(10));
  EXPECT_EQ(3u, boxes.texts.size());
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
  EXPECT_EQ(o.m_strTrace.GetLength() - 15, o.m_strTrace.Find("-ReOpenSuccess}"));
}

INSTANTIATE_TEST_SUITE_P(Engines, FaultTest, ::testing::ValuesIn(kAllEngines), EngineName);
INSTANTIATE_TEST_SUITE_P(Engines, SlowFaultTest, ::testing::ValuesIn(kAllEngines), EngineName);

}  // namespace
}  // namespace kestal::test
