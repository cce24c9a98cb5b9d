// ReOpen, ReOpenEx, IsOpenAlive and the reconnection rule, against a real
// database file that is moved away and put back.
#include <cstdio>
#include <regex>
#include <string>

#include "CoreFixture.h"

namespace kestal::test {
namespace {

using ReconnectTest = CoreTest;
using SlowReconnectTest = CoreTest;
using Probe = CSQLOperateCoreProbe;

const std::regex kEntry(R"(\{(\d+):(\d+):(\d+):(\d+)-(ReOpenSuccess|ReOpenException Sleep500)\})");

struct Entry {
  int hour, minute, second, ms;
  std::string event;
};

// Splits a trace text into entries; fails the test on any text between them.
std::vector<Entry> Entries(const CString& trace) {
  std::vector<Entry> out;
  std::string rest = trace.str();
  std::smatch m;
  while (!rest.empty()) {
    if (!std::regex_search(rest, m, kEntry) || m.position(0) != 0) {
      ADD_FAILURE() << "unexpected trace text: " << rest;
      break;
    }
    for (int i = 1; i <= 4; ++i) {
      const std::string n = m[i].str();
      EXPECT_TRUE(n == "0" || n[0] != '0') << "zero padded: " << m[0];
    }
    out.push_back({std::stoi(m[1]), std::stoi(m[2]), std::stoi(m[3]), std::stoi(m[4]), m[5]});
    rest = m.suffix();
  }
  return out;
}

// Moves the database file away and back; the fixture's own handle stays open.
class MovedFile {
 public:
  explicit MovedFile(const std::string& path) : path_(path) {
    EXPECT_EQ(0, std::rename(path_.c_str(), (path_ + ".away").c_str()));
  }
  void PutBack() {
    if (!away_) return;
    away_ = false;
    EXPECT_EQ(0, std::rename((path_ + ".away").c_str(), path_.c_str()));
  }
  ~MovedFile() { PutBack(); }

 private:
  std::string path_;
  bool away_ = true;
};

TEST(ReOpenTraceTest, HourPlusEightWithoutPadding) {
  SYSTEMTIME st{};
  st.wHour = 17;
  st.wMinute = 5;
  st.wSecond = 9;
  st.wMilliseconds = 42;
  EXPECT_EQ("{25:5:9:42-ReOpenSuccess}", Probe::TraceEntry(st, "ReOpenSuccess"));
  st = SYSTEMTIME{};
  EXPECT_EQ("{8:0:0:0-ReOpenException Sleep500}",
            Probe::TraceEntry(st, "ReOpenException Sleep500"));
  st.wHour = 23;
  st.wMinute = 59;
  st.wSecond = 59;
  st.wMilliseconds = 999;
  EXPECT_EQ("{31:59:59:999-ReOpenSuccess}", Probe::TraceEntry(st, "ReOpenSuccess"));
}

TEST_P(ReconnectTest, ReOpenExSucceedsAtFirstAttempt) {
  MakeQuotes(2);
  CSQLOperate o;
  OpenOk(o, "quotes");
  Connection* held = o.m_pConnection.get();
  o.m_strTrace = "earlier";
  SYSTEMTIME before, after;
  GetSystemTime(&before);
  EXPECT_EQ(1, o.ReOpenEx(3));
  GetSystemTime(&after);
  ASSERT_EQ(0, o.m_strTrace.Find("earlier"));
  auto entries = Entries(o.m_strTrace.Mid(7));
  ASSERT_EQ(1u, entries.size());
  EXPECT_EQ("ReOpenSuccess", entries[0].event);
  EXPECT_TRUE(entries[0].hour == before.wHour + 8 || entries[0].hour == after.wHour + 8);
  EXPECT_GE(entries[0].hour, 8);
  EXPECT_LE(entries[0].hour, 31);
  EXPECT_EQ(held, o.m_pConnection.get());  // same object, opened again
  EXPECT_EQ(adStateOpen, o.m_pConnection->GetState());
  EXPECT_EQ(8, o.m_pConnection->GetConnectionTimeout());
  EXPECT_EQ(adUseClient, o.m_pConnection->GetCursorLocation());
  EXPECT_EQ(3, o.m_nFieldCount);  // mapping untouched
}

TEST_P(ReconnectTest, ReOpenExZeroOnlyCloses) {
  MakeQuotes(1);
  CSQLOperate o;
  OpenOk(o, "quotes");
  const long long start = NowMs();
  EXPECT_EQ(0, o.ReOpenEx(0));
  EXPECT_EQ(0, o.ReOpenEx(-4));
  EXPECT_LT(NowMs() - start, 400);
  EXPECT_TRUE(o.m_strTrace.IsEmpty());
  EXPECT_EQ(adStateClosed, o.m_pConnection->GetState());
}

TEST_P(ReconnectTest, IsOpenAlive) {
  MakeQuotes(1);
  CSQLOperate o;
  OpenOk(o, "quotes");
  EXPECT_EQ(1, o.IsOpenAlive());
  EXPECT_EQ(adStateOpen, o.m_pConnection->GetState());
  o.Close();
  EXPECT_EQ(1, o.IsOpenAlive());
  EXPECT_EQ(adStateOpen, o.m_pConnection->GetState());

  MovedFile moved(db_->FilePath());
  const long long start = NowMs();
  EXPECT_EQ(0, o.IsOpenAlive());
  EXPECT_LT(NowMs() - start, 400);  // no pause after the failure
  EXPECT_TRUE(o.m_strTrace.IsEmpty());
  moved.PutBack();
  EXPECT_EQ(1, o.IsOpenAlive());

  CSQLOperate never;
  EXPECT_EQ(0, never.IsOpenAlive());
}

TEST_P(ReconnectTest, ReOpenSeesRowsAddedMeanwhile) {
  MakeQuotes(3);
  CSQLOperate o;
  OpenOk(o, "quotes");
  Connection* first = o.m_pConnection.get();
  AddQuotes(4, 5);
  EXPECT_EQ(3, o.m_lTotalRecord);
  EXPECT_EQ(1, o.ReOpen());
  EXPECT_NE(first, o.m_pConnection.get());
  EXPECT_EQ(5, o.m_lCurrentPos);
  EXPECT_EQ(5, o.m_lTotalRecord);
  EXPECT_EQ(5, o.m_pRecordset->GetRecordCount());
  EXPECT_EQ(3, o.m_nFieldCount);
  EXPECT_EQ("insert into quotes (id,name,code) ", o.m_strInsertSQL);
}

TEST_P(ReconnectTest, ReOpenFailures) {
  MakeQuotes(3);
  CSQLOperate o;
  OpenOk(o, "quotes");
  {
    MovedFile moved(db_->FilePath());
    EXPECT_EQ(0, o.ReOpen());
  }
  EXPECT_EQ(1, o.ReOpen());

  db_->Exec("drop table quotes");
  EXPECT_EQ(0, o.ReOpen());
  EXPECT_EQ(0, o.m_nFieldCount);

  CSQLOperate never;  // no connection string at all
  EXPECT_EQ(0, never.ReOpen());
}

TEST_P(ReconnectTest, RuleReconnectsOnlyFor800Statuses) {
  MakeQuotes(1);
  CSQLOperate o;
  OpenOk(o, "quotes");
  EXPECT_EQ(-1, Probe::ReconnectAfter(o, _com_error(0x12345678)));
  EXPECT_EQ(-1, Probe::ReconnectAfter(o, _com_error(static_cast<HRESULT>(0xC0000005))));
  EXPECT_TRUE(o.m_strTrace.IsEmpty());
  EXPECT_EQ(adStateOpen, o.m_pConnection->GetState());

  EXPECT_EQ(1, Probe::ReconnectAfter(o, _com_error(db::kStatementError)));
  EXPECT_EQ(1, Probe::ReconnectAfter(o, _com_error(0x00800000)));
  EXPECT_EQ(1, Probe::ReconnectAfter(o, _com_error(0x01238001)));
  auto entries = Entries(o.m_strTrace);
  ASSERT_EQ(3u, entries.size());
  for (const Entry& e : entries) EXPECT_EQ("ReOpenSuccess", e.event);
}

TEST_P(ReconnectTest, RealStatementErrorLeadsToOneReconnection) {
  MakeQuotes(1);
  CSQLOperate o;
  OpenOk(o, "quotes");
  try {
    o.m_pConnection->Execute("select * from nosuchtable");
    FAIL() << "no error";
  } catch (const _com_error& e) {
    EXPECT_EQ(1, Probe::ReconnectAfter(o, e));
  }
  ASSERT_EQ(1u, Entries(o.m_strTrace).size());
  EXPECT_EQ(1, o.m_pConnection->Execute("select * from quotes")->GetRecordCount());
}

TEST_P(ReconnectTest, ClearRowLimitSendsAndNeverThrows) {
  MakeQuotes(1);
  CSQLOperate o;
  OpenOk(o, "quotes");
  Probe::ClearRowLimit(o);
  EXPECT_EQ("set rowcount 0", o.m_pConnection->SentStatements().back());
  o.Close();
  Probe::ClearRowLimit(o);
  CSQLOperate never;
  Probe::ClearRowLimit(never);
}

TEST_P(SlowReconnectTest, ReOpenExWhileFileIsAwayThenBack) {
  MakeQuotes(2);
  CSQLOperate o;
  OpenOk(o, "quotes");
  MovedFile moved(db_->FilePath());
  long long start = NowMs();
  EXPECT_EQ(0, o.ReOpenEx(3));
  const long long took = NowMs() - start;
  EXPECT_GE(took, 1500);
  EXPECT_LT(took, 6000);
  auto entries = Entries(o.m_strTrace);
  ASSERT_EQ(3u, entries.size());
  for (const Entry& e : entries) EXPECT_EQ("ReOpenException Sleep500", e.event);
  EXPECT_EQ(adStateClosed, o.m_pConnection->GetState());

  moved.PutBack();
  o.m_strTrace.Empty();
  start = NowMs();
  EXPECT_EQ(1, o.ReOpenEx(3));
  EXPECT_LT(NowMs() - start, 1000);
  entries = Entries(o.m_strTrace);
  ASSERT_EQ(1u, entries.size());
  EXPECT_EQ("ReOpenSuccess", entries[0].event);
  EXPECT_EQ(2, o.m_pConnection->Execute("select * from quotes")->GetRecordCount());
}

TEST_P(SlowReconnectTest, ReOpenExWithoutConnectionObject) {
  CSQLOperate never;
  EXPECT_EQ(0, never.ReOpenEx(2));
  EXPECT_EQ(2u, Entries(never.m_strTrace).size());

  // A failed ReOpen leaves a new, unopened object on a lost file: ReOpenEx
  // keeps failing until the file is back.
  MakeQuotes(1);
  CSQLOperate o;
  OpenOk(o, "quotes");
  MovedFile moved(db_->FilePath());
  EXPECT_EQ(0, o.ReOpen());
  EXPECT_EQ(0, o.ReOpenEx(1));
  moved.PutBack();
  EXPECT_EQ(1, o.ReOpenEx(1));
}

INSTANTIATE_TEST_SUITE_P(Engines, ReconnectTest, ::testing::Values(Engine::kSqlite), EngineName);
INSTANTIATE_TEST_SUITE_P(Engines, SlowReconnectTest, ::testing::Values(Engine::kSqlite),
                         EngineName);

}  // namespace
}  // namespace kestal::test
