// kestal sql follow with real concurrent writers on each engine: a
// transaction holding a key open past ten looks, a rolled-back insert, keys
// written out of order, gaps held by evidence, and a follower killed with
// SIGKILL that resumes from its state file. Every committed row must come
// out exactly once, late rows marked, and every key skipped for good must be
// reported exactly once.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>

#include "support/NativeWriter.h"
#include "support/TestDatabase.h"
#include "tools/BridgeTestUtil.h"
#include "tools/ToolRunner.h"

namespace kestal::test {
namespace {

class SqlFollowLateTest : public ::testing::TestWithParam<Engine> {
 protected:
  void SetUp() override {
    db_ = TestDatabase::Create(GetParam());
    db_->Exec(kOrderTableSql);
  }
  bool pg() const { return GetParam() == Engine::kPostgres; }

  // Inserts keys, each in a transaction of its own, in the order given.
  void Insert(const std::vector<int>& keys) {
    for (int k : keys) db_->Exec(Row(k));
  }
  // Inserts first..last in one transaction.
  void InsertRange(int first, int last) {
    std::string sql = "insert into orders values ";
    for (int k = first; k <= last; ++k) {
      sql += (k == first ? "" : ",") + Values(k);
    }
    db_->Exec(sql);
  }
  static std::string Values(int k) {
    return "(" + std::to_string(k) + ", '60000" + std::to_string(k % 10) + "', 'B', " +
           std::to_string(k) + ", 'n" + std::to_string(k) + "')";
  }
  // Rows 1-4 and 6-10; key 5 was inserted and rolled back in between, so
  // its gap never closes.
  void InsertAroundRolledBackKey5() {
    InsertRange(1, 4);
    {
      NativeWriter writer(*db_);
      writer.Exec("begin");
      writer.Exec(Row(5));
      writer.Exec("rollback");
    }
    InsertRange(6, 10);
  }
  static std::string Row(int k) { return "insert into orders values " + Values(k); }

  std::unique_ptr<RunningTool> Follow(const std::vector<std::string>& extra) {
    std::vector<std::string> args = {
        "sql", "follow", db_->ConnectionString(), "orders", "--interval", "5", "--late", "deliver"};
    args.insert(args.end(), extra.begin(), extra.end());
    return std::make_unique<RunningTool>(args, "C.UTF-8", "", true);
  }

  std::unique_ptr<TestDatabase> db_;
};

// Rows printed after the header: key -> one entry per time printed, true
// when marked late.
std::map<int, std::vector<bool>> Printed(const std::string& out) {
  std::map<int, std::vector<bool>> rows;
  std::istringstream in(out);
  std::string line;
  std::getline(in, line);
  while (std::getline(in, line)) {
    rows[std::stoi(line.substr(0, line.find(',')))].push_back(
        line.size() > 5 && line.substr(line.size() - 5) == ",late");
  }
  return rows;
}

size_t Count(const std::string& text, const std::string& piece) {
  size_t n = 0;
  for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
  return n;
}

// Reads the follower's output (and drains its stderr) until done(out) or
// timeout_ms; returns done's last answer.
bool WaitFor(RunningTool& f, const std::function<bool(const std::string&)>& done, int timeout_ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!done(f.out())) {
    if (std::chrono::steady_clock::now() > end) return false;
    f.ReadLines(static_cast<size_t>(std::count(f.out().begin(), f.out().end(), '\n')) + 1, 50);
    f.DrainErr();
  }
  return true;
}

std::function<bool(const std::string&)> HasRows(size_t n) {
  return [n](const std::string& out) { return Printed(out).size() >= n; };
}

// Every key of keys printed exactly once, late exactly for those in late.
void ExpectExactlyOnce(const std::string& out, const std::vector<int>& keys,
                       const std::vector<int>& late) {
  auto rows = Printed(out);
  EXPECT_EQ(keys.size(), rows.size()) << out;
  for (int k : keys) {
    ASSERT_EQ(1u, rows[k].size()) << "key " << k << " printed " << rows[k].size() << " times";
    const bool want_late = std::find(late.begin(), late.end(), k) != late.end();
    EXPECT_EQ(want_late, rows[k][0]) << "key " << k;
  }
}

std::vector<int> Keys(int first, int last, std::vector<int> but = {}) {
  std::vector<int> out;
  for (int k = first; k <= last; ++k) {
    if (std::find(but.begin(), but.end(), k) == but.end()) out.push_back(k);
  }
  return out;
}

// One transaction takes key 5 and stays open for longer than ten looks while
// 6..50 commit. SQLite serialises writers, so there the writer that took key
// 5 commits it after 6..50 instead: for a reader the two look the same.
TEST_P(SqlFollowLateTest, KeyHeldOpenPastTenLooksIsDeliveredLateOnce) {
  InsertRange(1, 4);
  NativeWriter holder(*db_);
  if (pg()) {
    holder.Exec("begin");
    holder.Exec(Row(5));
  }
  InsertRange(6, 50);
  auto f = Follow({});
  ASSERT_TRUE(WaitFor(*f, HasRows(49), 20000)) << f->out();
  if (pg()) {
    holder.Exec("commit");
  } else {
    holder.Exec(Row(5));
  }
  ASSERT_TRUE(WaitFor(*f, HasRows(50), 20000)) << f->out();
  usleep(200000);
  EXPECT_EQ(0, f->Stop(SIGTERM));
  ExpectExactlyOnce(f->out(), Keys(1, 50), {5});
  EXPECT_EQ(1u, Count(f->err(), "skipped keys 5 (1 key)")) << f->err();
  EXPECT_EQ(1u, Count(f->err(), "late row key 5 delivered, marked late")) << f->err();
  EXPECT_EQ(0u, Count(f->err(), "skipped for good")) << f->err();
  EXPECT_EQ(0u, f->out().rfind("rec_num,stock,bs,qty,note,kestal_late\n", 0));
}

TEST_P(SqlFollowLateTest, RolledBackInsertIsReportedSkippedForGoodOnce) {
  InsertAroundRolledBackKey5();
  auto f = Follow({"--late-window", "1s"});
  ASSERT_TRUE(WaitFor(
      *f,
      [&f](const std::string&) { return f->err().find("skipped for good") != std::string::npos; },
      20000))
      << f->err();
  usleep(500000);
  EXPECT_EQ(0, f->Stop(SIGTERM));
  ExpectExactlyOnce(f->out(), Keys(1, 10, {5}), {});
  EXPECT_EQ(1u, Count(f->err(), "skipped keys 5 (1 key)")) << f->err();
  EXPECT_EQ(1u, Count(f->err(), "keys 5 (1 key) skipped for good")) << f->err();
}

TEST_P(SqlFollowLateTest, KeysWrittenOutOfOrder) {
  Insert({1, 2, 3});
  Insert({5, 6, 7, 8});
  // Ten looks of 100 ms: 9 surely commits within them after 10.
  auto f = Follow({"--interval", "100"});
  // 4 comes after the tenth look delivered 5..8: late.
  ASSERT_TRUE(WaitFor(*f, HasRows(7), 20000)) << f->out();
  Insert({4});
  ASSERT_TRUE(WaitFor(*f, HasRows(8), 20000)) << f->out();
  // 10 then 9 at once: the gap at 9 is held and filled, nothing is late.
  Insert({10, 9});
  ASSERT_TRUE(WaitFor(*f, HasRows(10), 20000)) << f->out();
  usleep(200000);
  EXPECT_EQ(0, f->Stop(SIGTERM));
  ExpectExactlyOnce(f->out(), Keys(1, 10), {4});
  EXPECT_EQ(1u, Count(f->err(), "skipped keys 4 (1 key)")) << f->err();
  EXPECT_EQ(0u, Count(f->err(), "skipped keys 9")) << f->err();
  EXPECT_EQ(0u, Count(f->err(), "still watched")) << f->err();
  const std::string& out = f->out();
  EXPECT_LT(out.find("\n9,"), out.find("\n10,")) << out;
}

// Evidence: while the transaction holding key 5 runs, the window is held;
// once it commits they come in key order and nothing is late. SQLite shows
// no transactions in flight, so there the ten looks decide.
TEST_P(SqlFollowLateTest, EvidenceHoldsTheGapWhileTheWriterRuns) {
  InsertRange(1, 4);
  NativeWriter holder(*db_);
  if (!pg()) {
    InsertRange(6, 10);
    auto f = Follow({"--gap-wait", "evidence"});
    ASSERT_TRUE(WaitFor(*f, HasRows(9), 20000)) << f->out();
    EXPECT_EQ(0, f->Stop(SIGTERM));
    EXPECT_NE(f->err().find("--gap-wait evidence: this engine shows a reader no transactions"),
              std::string::npos)
        << f->err();
    EXPECT_EQ(1u, Count(f->err(), "skipped keys 5 (1 key)")) << f->err();
    return;
  }
  holder.Exec("begin");
  holder.Exec(Row(5));
  InsertRange(6, 50);
  auto f = Follow({"--gap-wait", "evidence", "--gap-max", "30s"});
  // The window (0, 50] is held whole; far more than ten looks of 5 ms pass.
  usleep(1500000);
  f->ReadLines(1000, 10);
  f->DrainErr();
  EXPECT_EQ(0u, Printed(f->out()).size()) << "the gap was passed while its writer ran";
  holder.Exec("commit");
  ASSERT_TRUE(WaitFor(*f, HasRows(50), 20000)) << f->out();
  EXPECT_EQ(0, f->Stop(SIGTERM));
  ExpectExactlyOnce(f->out(), Keys(1, 50), {});
  EXPECT_EQ(0u, Count(f->err(), "skipped keys")) << f->err();
  EXPECT_EQ(1u, Count(f->err(), "holding the gap")) << f->err();
}

// Transactions in flight are seen on PostgreSQL only.
using SqlFollowEvidenceTest = SqlFollowLateTest;

TEST_P(SqlFollowEvidenceTest, PassesARolledBackGapAtOnceAndStopsHoldingAtTheLimit) {
  InsertAroundRolledBackKey5();
  auto f = Follow({"--gap-wait", "evidence", "--gap-max", "3s", "--late-window", "1m"});
  // Nothing of this test was in flight when the gap at 5 was first seen.
  // Snapshots span the whole server, which other tests share: their
  // transactions may hold the gap, but never past the limit.
  ASSERT_TRUE(WaitFor(*f, HasRows(9), 20000)) << f->out();
  const size_t held_before = Count(f->err(), "holding the gap");
  const size_t passed_before = Count(f->err(), "passing the gap: transactions seen");

  // A writer that never ends: held, then passed at --gap-max.
  NativeWriter holder(*db_);
  holder.Exec("begin");
  holder.Exec(Row(12));
  const auto start = std::chrono::steady_clock::now();
  Insert({11});
  InsertRange(13, 15);
  ASSERT_TRUE(WaitFor(*f, HasRows(13), 20000)) << f->out();
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500));
  holder.Exec("commit");
  ASSERT_TRUE(WaitFor(*f, HasRows(14), 20000)) << f->out();
  EXPECT_EQ(0, f->Stop(SIGTERM));
  ExpectExactlyOnce(f->out(), Keys(1, 15, {5}), {12});
  EXPECT_EQ(held_before + 1, Count(f->err(), "holding the gap")) << f->err();
  EXPECT_EQ(passed_before + 1,
            Count(f->err(), "passing the gap: transactions seen when it was first found"))
      << f->err();
  EXPECT_EQ(1u, Count(f->err(), "skipped keys 5 (1 key)")) << f->err();
  EXPECT_EQ(1u, Count(f->err(), "skipped keys 12 (1 key)")) << f->err();
  EXPECT_EQ(1u, Count(f->err(),
                      "skipped keys still watched at the stop: 5 (no --state: the next run does "
                      "not watch them)"))
      << f->err();
}

INSTANTIATE_TEST_SUITE_P(Engines, SqlFollowEvidenceTest, ::testing::Values(Engine::kPostgres),
                         [](const ::testing::TestParamInfo<Engine>&) {
                           return std::string("postgres");
                         });

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// A follower killed with SIGKILL while watching key 5: the row committed
// while it was down is delivered, marked late, by the next run on the same
// state file, which resumes after the last key and prints nothing twice.
TEST_P(SqlFollowLateTest, KilledFollowerResumesFromItsStateFile) {
  TempDir dir;
  const std::string state = dir.File("follow.state");
  InsertRange(1, 4);
  InsertRange(6, 10);
  {
    auto f = Follow({"--state", state});
    ASSERT_TRUE(WaitFor(
        *f,
        [&state](const std::string&) {
          return ReadFile(state).find("last 10\nwatch 5 5 ") != std::string::npos;
        },
        20000))
        << ReadFile(state);
    EXPECT_EQ(128 + SIGKILL, f->Stop(SIGKILL));
    ExpectExactlyOnce(f->out(), Keys(1, 10, {5}), {});
  }
  Insert({5, 11});
  auto f = Follow({"--state", state, "--after", "3"});
  ASSERT_TRUE(WaitFor(*f, HasRows(2), 20000)) << f->out();
  usleep(200000);
  EXPECT_EQ(0, f->Stop(SIGTERM));
  ExpectExactlyOnce(f->out(), {5, 11}, {5});
  EXPECT_EQ(0u, Count(f->err(), "still watched")) << f->err();
  EXPECT_NE(f->err().find("resuming after key 10 from the state file"), std::string::npos)
      << f->err();
  EXPECT_EQ(std::string("kestal sql follow state 1\ncolumn rec_num\nlast 11\n"), ReadFile(state));
  EXPECT_NE(0, access((state + ".tmp").c_str(), F_OK));
}

INSTANTIATE_TEST_SUITE_P(Engines, SqlFollowLateTest, ::testing::ValuesIn(kNativeEngines),
                         [](const ::testing::TestParamInfo<Engine>& info) {
                           return std::string(EngineLabel(info.param));
                         });

// What each --late mode makes of the same late row (engine-independent).
TEST(SqlFollowLateModeTest, ReportDeliverIgnore) {
  struct Case {
    const char* mode;
    const char* header;
    size_t rows;
    const char* note;  // on stderr, or "" for none
  };
  const Case cases[] = {
      {"report", "rec_num,stock,bs,qty,note\n", 3, "late row key 2 appeared after its key"},
      {"deliver", "rec_num,stock,bs,qty,note,kestal_late\n", 4,
       "late row key 2 delivered, marked late"},
      {"ignore", "rec_num,stock,bs,qty,note\n", 3, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    auto db = TestDatabase::Create(Engine::kSqlite);
    db->Exec(kOrderTableSql);
    db->Exec(
        "insert into orders values (1, 'a', 'B', 1, 'n'), (3, 'a', 'B', 1, 'n'), "
        "(4, 'a', 'B', 1, 'n')");
    RunningTool f(
        {"sql", "follow", db->ConnectionString(), "orders", "--interval", "5", "--late", c.mode},
        "C.UTF-8", "", true);
    ASSERT_TRUE(WaitFor(f, HasRows(3), 20000)) << f.out();
    db->Exec("insert into orders values (2, 'late', 'B', 1, 'n')");
    usleep(400000);  // many polls: the watch looks every fifth
    f.ReadLines(100, 10);
    EXPECT_EQ(0, f.Stop(SIGTERM));
    EXPECT_EQ(0u, f.out().rfind(c.header, 0)) << f.out();
    EXPECT_EQ(c.rows, Printed(f.out()).size()) << f.out();
    EXPECT_EQ(1u, Count(f.err(), "skipped keys 2 (1 key)")) << f.err();
    if (*c.note != '\0') {
      EXPECT_EQ(1u, Count(f.err(), c.note)) << f.err();
    } else {
      EXPECT_EQ(0u, Count(f.err(), "late row")) << f.err();
    }
  }
}

TEST(SqlFollowStateTest, BadStateFilesAndOptionsAreRefused) {
  TempDir dir;
  auto db = TestDatabase::Create(Engine::kSqlite);
  db->Exec(kOrderTableSql);
  db->Exec("create table trades (serialnum int, note varchar(10))");
  const std::string conn = db->ConnectionString();
  auto Run = [&conn](const std::string& table, const std::vector<std::string>& extra) {
    std::vector<std::string> args = {"sql", "follow", conn, table};
    args.insert(args.end(), extra.begin(), extra.end());
    return RunKestal(args);
  };
  const std::string state = dir.File("s");
  {
    std::ofstream(state) << "kestal sql follow state 1\ncolumn rec_num\nlast x\n";
    const ToolResult r = Run("orders", {"--state", state});
    EXPECT_EQ(1, r.status);
    EXPECT_NE(r.err.find("is not one this command wrote"), std::string::npos) << r.err;
  }
  {
    std::ofstream(state) << "kestal sql follow state 1\ncolumn rec_num\nlast 3\nwatch 5 4 0 0\n";
    EXPECT_EQ(1, Run("orders", {"--state", state}).status);
  }
  {
    std::ofstream(state) << "kestal sql follow state 1\ncolumn rec_num\nlast 3\n";
    const ToolResult r = Run("trades", {"--state", state, "--key", "serialnum"});
    EXPECT_EQ(1, r.status);
    EXPECT_NE(r.err.find("follows the key rec_num, not serialnum"), std::string::npos) << r.err;
  }
  {
    const ToolResult r = Run("orders", {"--state", dir.File("none/s")});
    EXPECT_EQ(1, r.status);
    EXPECT_NE(r.err.find("cannot create " + dir.File("none/s.tmp") + ": No such file"),
              std::string::npos)
        << r.err;
  }
  for (const std::vector<std::string>& bad : {std::vector<std::string>{"--late", "drop"},
                                              {"--gap-wait", "maybe"},
                                              {"--late-window", "5x"},
                                              {"--late-window", "-1s"},
                                              {"--gap-max", ""},
                                              {"--late-window", "9999999999s"},
                                              {"--state", ""}}) {
    EXPECT_EQ(2, Run("orders", bad).status) << bad[0] << " " << bad[1];
  }
}

}  // namespace
}  // namespace kestal::test
