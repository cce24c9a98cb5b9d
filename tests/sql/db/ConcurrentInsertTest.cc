// Numbered inserts from several processes at once: the record numbers the
// engine computes inside each INSERT must come out distinct and contiguous.
#include <gtest/gtest.h>
#include <unistd.h>

#include <vector>

#include "sql/db/Ado.h"
#include "support/TestSupport.h"

namespace kestal::test {
namespace {

constexpr int kWriters = 4;
constexpr int kInsertsEach = 50;

std::string Conn(const std::string& path) {
  return "Provider=SQLite;Data Source=" + path;
}

// Starts kWriters processes that each send kInsertsEach copies of statement
// (the pid stands in for %d) and returns their exit codes.
std::vector<int> RunWriters(const std::string& path, const char* statement) {
  std::vector<pid_t> pids;
  for (int w = 0; w < kWriters; ++w) {
    pids.push_back(Spawn([=] {
      _ConnectionPtr c;
      c.CreateInstance();
      c->Open(CString(Conn(path)));
      CString sql;
      sql.Format(statement, static_cast<int>(getpid()));
      for (int i = 0; i < kInsertsEach; ++i) c->Execute(sql);
      return 0;
    }));
  }
  std::vector<int> codes;
  for (pid_t p : pids) codes.push_back(Wait(p));
  return codes;
}

// Makes the database and closes it before any fork: no process may inherit
// an open SQLite handle.
std::string MakeTable(const TempDir& dir) {
  const std::string path = dir.File("numbers.db");
  _ConnectionPtr c;
  c.CreateInstance();
  c->Open(CString(Conn(path) + ";Create=yes"));
  c->Execute("create table CJK (rec_num int, stock varchar(6), bs char(1), writer int)");
  c->Close();
  return path;
}

void ExpectNumbersOneToN(const std::string& path) {
  _ConnectionPtr c;
  c.CreateInstance();
  c->Open(CString(Conn(path)));
  _RecordsetPtr rs = c->Execute(
      "select count(*) as n, count(distinct rec_num) as d, min(rec_num) as lo, "
      "max(rec_num) as hi, count(distinct writer) as w from CJK");
  const std::string total = std::to_string(kWriters * kInsertsEach);
  EXPECT_EQ(rs->GetCollect("n").ToString(), total.c_str());
  EXPECT_EQ(rs->GetCollect("d").ToString(), total.c_str());
  EXPECT_EQ(rs->GetCollect("lo").ToString(), "1");
  EXPECT_EQ(rs->GetCollect("hi").ToString(), total.c_str());
  EXPECT_EQ(rs->GetCollect("w").ToString(), std::to_string(kWriters).c_str());
}

TEST(ConcurrentInsertTest, HoldlockNumberedInsertsFromSeveralProcessesAreContiguous) {
  TempDir dir;
  const std::string path = MakeTable(dir);
  for (int code :
       RunWriters(path,
                  "insert into CJK (rec_num,stock,bs,writer)  select "
                  "isnull(max(rec_num)+1,1),'ABC123','B',%d from CJK with (holdlock) ")) {
    EXPECT_EQ(code, 0);
  }
  ExpectNumbersOneToN(path);
}

TEST(ConcurrentInsertTest, MaxPlusOneInsertsWithoutHintAreContiguousToo) {
  TempDir dir;
  const std::string path = MakeTable(dir);
  _ConnectionPtr c;
  c.CreateInstance();
  c->Open(CString(Conn(path)));
  c->Execute("insert into CJK (rec_num, writer) values (1, 0)");
  c->Close();
  for (int code : RunWriters(path,
                             "insert into CJK (rec_num,stock,bs,writer)  (select "
                             "max(rec_num)+1,'ABC123','B',%d from CJK)")) {
    EXPECT_EQ(code, 0);
  }
  c->Open(CString(Conn(path)));
  _RecordsetPtr rs = c->Execute("select count(distinct rec_num) as d, max(rec_num) as hi from CJK");
  const std::string total = std::to_string(kWriters * kInsertsEach + 1);
  EXPECT_EQ(rs->GetCollect("d").ToString(), total.c_str());
  EXPECT_EQ(rs->GetCollect("hi").ToString(), total.c_str());
}

TEST(ConcurrentInsertTest, BatchesOfNumberedInsertsNumberInAppendOrder) {
  TempDir dir;
  const std::string path = MakeTable(dir);
  std::string batch;
  for (int i = 0; i < 5; ++i) {
    batch += "insert into CJK (rec_num,stock,bs,writer)  select isnull(max(rec_num)+1,1),'S" +
             std::to_string(i) + "','B',%d from CJK with (holdlock);";
  }
  std::vector<pid_t> pids;
  for (int w = 0; w < kWriters; ++w) {
    pids.push_back(Spawn([=] {
      _ConnectionPtr c;
      c.CreateInstance();
      c->Open(CString(Conn(path)));
      CString sql(batch);
      sql.Replace("%d", std::to_string(getpid()).c_str());
      for (int i = 0; i < 10; ++i) c->Execute(sql);
      return 0;
    }));
  }
  for (pid_t p : pids) EXPECT_EQ(Wait(p), 0);
  _ConnectionPtr c;
  c.CreateInstance();
  c->Open(CString(Conn(path)));
  EXPECT_EQ(c->Execute("select count(distinct rec_num) as d, max(rec_num) as hi from CJK")
                ->GetCollect("hi")
                .ToString(),
            std::to_string(kWriters * 50).c_str());
  // Within one writer, the entries of each batch got increasing numbers:
  // in number order its rows run S0..S4, S0..S4, ...
  _RecordsetPtr rs = c->Execute("select writer, stock from CJK order by writer, rec_num");
  CString writer;
  int k = 0;
  for (; !rs->IsEOF(); rs->MoveNext()) {
    if (rs->GetCollect("writer").ToString() != writer) {
      writer = rs->GetCollect("writer").ToString();
      k = 0;
    }
    CString want;
    want.Format("S%d", k++ % 5);
    ASSERT_EQ(rs->GetCollect("stock").ToString(), want) << "writer " << writer.c_str();
  }
}

TEST(ConcurrentInsertTest, ReaderFollowingTheWritersSeesOnlyGaplessPrefixes) {
  TempDir dir;
  const std::string path = MakeTable(dir);
  std::vector<pid_t> writers;
  for (int w = 0; w < 2; ++w) {
    writers.push_back(Spawn([=] {
      _ConnectionPtr c;
      c.CreateInstance();
      c->Open(CString(Conn(path)));
      for (int i = 0; i < 150; ++i) {
        c->Execute(
            "insert into CJK (rec_num,stock,bs)  select isnull(max(rec_num)+1,1),'ABC123','B' "
            "from CJK with (holdlock) ");
      }
      return 0;
    }));
  }
  _ConnectionPtr c;
  c.CreateInstance();
  c->Open(CString(Conn(path)));
  long last = 0;
  int polls = 0;
  while (last < 300 && polls < 100000) {
    ++polls;
    _RecordsetPtr rs = c->Execute("select count(*) as n, isnull(max(rec_num),0) as hi from CJK");
    const long n = atol(rs->GetCollect("n").ToString());
    ASSERT_EQ(n, atol(rs->GetCollect("hi").ToString()));
    ASSERT_GE(n, last);
    last = n;
  }
  for (pid_t p : writers) EXPECT_EQ(Wait(p), 0);
  EXPECT_EQ(last, 300);
}

}  // namespace
}  // namespace kestal::test
