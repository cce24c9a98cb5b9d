// ReOpen, ReOpenEx, IsOpenAlive and the reconnection rule, against a real
// database file that is moved away and put back.
#include <regex>

#include "CoreFixture.h"

namespace kestal::test {
namespace {

using ReconnectTest = CoreTest;
using SlowReconnectTest = CoreTest;
using Probe = CSQLOperateCoreProbe;

// The events of a trace text, checking each entry's form (no zero padding,
// hour 8 to 31) and that nothing lies between entries.
std::vector<std::string> Events(const CString& trace, int* hour = nullptr) {
  static const std::regex entry(
      R"(\{(0|[1-9]\d*):(0|[1-9]\d*):(0|[1-9]\d*):(0|[1-9]\d*)-([^}]*)\})");
  std::vector<std::string> out;
  std::string rest = trace.str();
  std::smatch m;
  while (std::regex_search(rest, m, entry) && m.position(0) == 0) {
    const int h = std::stoi(m[1]);
    EXPECT_TRUE(h >= 8 && h <= 31) << m[0];
    if (hour) *hour = h;
    out.push_back(m[5]);
    rest = m.suffix();
  }
  EXPECT_EQ("", rest);
  return out;
}

TEST(ReOpenTraceTest, HourPlusEightWithoutPadding) {
  SYSTEMTIME st{};
  EXPECT_EQ("{8:0:0:0-ReOpenException Sleep500}",
            Probe::TraceEntry(st, "ReOpenException Sleep500"));
  st.wHour = 17, st.wMinute = 5, st.wSecond = 9, st.wMilliseconds = 42;
  EXPECT_EQ("{25:5:9:42-ReOpenSuccess}", Probe::TraceEntry(st, "ReOpenSuccess"));
  st.wHour = 23, st.wMinute = 59, st.wSecond = 59, st.wMilliseconds = 999;
  EXPECT_EQ("{31:59:59:999-ReOpenSuccess}", Probe::TraceEntry(st, "ReOpenSuccess"));
}

TEST_P(ReconnectTest, ReOpenExReopensTheHeldConnection) {
  MakeQuotes(2);
  CSQLOperate o;
  OpenOk(o, "quotes");
  Connection* held = o.m_pConnection.get();
  SYSTEMTIME before, after;
  GetSystemTime(&before);
  EXPECT_EQ(1, o.ReOpenEx(3));
  GetSystemTime(&after);
  int hour = -1;
  EXPECT_EQ(std::vector<std::string>{"ReOpenSuccess"}, Events(o.m_strTrace, &hour));
  EXPECT_TRUE(hour == before.wHour + 8 || hour == after.wHour + 8) << hour;
  EXPECT_EQ(held, o.m_pConnection.get());
  EXPECT_EQ(adStateOpen, o.m_pConnection->GetState());
  EXPECT_EQ(8, o.m_pConnection->GetConnectionTimeout());
  EXPECT_EQ(adUseClient, o.m_pConnection->GetCursorLocation());

  const long long start = NowMs();  // no attempt: closed, no trace, no wait
  EXPECT_EQ(0, o.ReOpenEx(0));
  EXPECT_LT(NowMs() - start, 300);
  EXPECT_EQ(1u, Events(o.m_strTrace).size());
  EXPECT_EQ(adStateClosed, o.m_pConnection->GetState());
}

TEST_P(ReconnectTest, IsOpenAliveAndReOpenWhileTheDatabaseIsOffline) {
  MakeQuotes(3);
  CSQLOperate o;
  OpenOk(o, "quotes");
  EXPECT_EQ(1, o.IsOpenAlive());
  EXPECT_EQ(adStateOpen, o.m_pConnection->GetState());
  TakeOffline();
  const long long start = NowMs();
  EXPECT_EQ(0, o.IsOpenAlive());
  EXPECT_LT(NowMs() - start, 300);  // no pause, no trace
  EXPECT_EQ(0, o.ReOpen());
  BringOnline();
  EXPECT_TRUE(o.m_strTrace.IsEmpty());

  AddQuotes(4, 5);  // ReOpen sees the rows added meanwhile
  EXPECT_EQ(1, o.ReOpen());
  EXPECT_EQ(5, o.m_lCurrentPos);
  EXPECT_EQ(5, o.m_lTotalRecord);
  EXPECT_EQ(5, o.m_pRecordset->GetRecordCount());
  EXPECT_EQ("insert into quotes (id,name,code) ", o.m_strInsertSQL);

  db_->Exec("drop table quotes");
  EXPECT_EQ(0, o.ReOpen());
  CSQLOperate never;
  EXPECT_EQ(0, never.ReOpen());
  EXPECT_EQ(0, never.IsOpenAlive());
}

TEST_P(ReconnectTest, RuleReconnectsOn800Statuses) {
  MakeQuotes(1);
  CSQLOperate o;
  OpenOk(o, "quotes");
  for (HRESULT status : {0x12345678, static_cast<HRESULT>(0xC0000005)}) {
    EXPECT_EQ(-1, Probe::ReconnectAfter(o, _com_error(status)));
  }
  EXPECT_TRUE(o.m_strTrace.IsEmpty());
  try {
    o.m_pConnection->Execute("select * from nosuchtable");
    ADD_FAILURE() << "no error";
  } catch (const _com_error& e) {
    EXPECT_EQ(1, Probe::ReconnectAfter(o, e));
  }
  EXPECT_EQ(1, Probe::ReconnectAfter(o, _com_error(0x00800000)));
  EXPECT_EQ(2u, Events(o.m_strTrace).size());
  Probe::ClearRowLimit(o);
  EXPECT_EQ("set rowcount 0", o.m_pConnection->SentStatements().back());
  CSQLOperate never;
  Probe::ClearRowLimit(never);  // swallowed
}

TEST_P(SlowReconnectTest, ReOpenExWhileTheDatabaseIsOfflineThenBack) {
  MakeQuotes(2);
  CSQLOperate o;
  OpenOk(o, "quotes");
  TakeOffline();
  long long start = NowMs();
  EXPECT_EQ(0, o.ReOpenEx(3));
  EXPECT_GE(NowMs() - start, 1500);
  EXPECT_LT(NowMs() - start, 5000);
  EXPECT_EQ(std::vector<std::string>(3, "ReOpenException Sleep500"), Events(o.m_strTrace));
  EXPECT_EQ(adStateClosed, o.m_pConnection->GetState());
  BringOnline();
  o.m_strTrace.Empty();
  start = NowMs();
  EXPECT_EQ(1, o.ReOpenEx(3));
  EXPECT_LT(NowMs() - start, 500);
  EXPECT_EQ(std::vector<std::string>{"ReOpenSuccess"}, Events(o.m_strTrace));
  EXPECT_EQ(2, o.m_pConnection->Execute("select * from quotes")->GetRecordCount());

  CSQLOperate never;  // no Connection object: every attempt fails
  EXPECT_EQ(0, never.ReOpenEx(2));
  EXPECT_EQ(2u, Events(never.m_strTrace).size());
}

INSTANTIATE_TEST_SUITE_P(Engines, ReconnectTest, ::testing::ValuesIn(kAllEngines), EngineName);
INSTANTIATE_TEST_SUITE_P(Engines, SlowReconnectTest, ::testing::ValuesIn(kAllEngines), EngineName);

}  // namespace
}  // namespace kestal::test
