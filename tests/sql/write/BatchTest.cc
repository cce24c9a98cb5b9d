// The order buffer and its sending: entries of each mode, statement batches,
// the bulk-load file below the working directory taken at construction, and
// the limits that keep the buffer from overflowing.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "sql/write/WriteFixture.h"

namespace kestal::test {
namespace {

std::string Content(const CSQLOperate& op) {
  return std::string(op.m_pOrderBuff);
}

class BatchTest : public WriteTest {
 protected:
  void SetUp() override {
    WriteTest::SetUp();
    op_ = Open("T", "rec_num int not null, stock varchar(6), bs char(1)", work_.path());
    ASSERT_EQ(1, op_->AllocOrderBuff());
  }
  int Append(std::string image, int mode = 2) {
    return op_->AddInsertRecordToBuff(image.data(), mode, 0);
  }
  std::string File(const char* tag) { return work_.path() + "/log/OrderTemp_" + tag + ".txt"; }

  TempDir work_;
  std::unique_ptr<CSQLOperate> op_;
};
KESTAL_WRITE_ENGINES(BatchTest);

TEST_P(BatchTest, EntriesAndStatementBatch) {
  const std::string numbered =
      "insert into T (rec_num,stock,bs)  select isnull(max(rec_num)+1,1),'ABC123','B' from T with "
      "(holdlock);";
  const std::string plain = "insert into T (rec_num,stock,bs)  values (7,'XYZ   ','S');";
  ASSERT_EQ(1, Append("       0ABC123B", 1));
  ASSERT_EQ(1, Append("       0ABC123B", 2));
  EXPECT_EQ(numbered + "0,ABC123,B,\r\n", Content(*op_));
  op_->BuffInit();
  ASSERT_EQ(1, Append("       7XYZ   S", 0));
  ASSERT_EQ(1, Append("       7XYZ   S", -5));
  ASSERT_EQ(1, op_->ExecBatchInsert(1, 0, "unused"));
  EXPECT_EQ(Strings({plain + plain}), Sent(*op_));
  EXPECT_EQ(0, op_->m_lOrderBuffLen);
  EXPECT_EQ(Strings({"7|XYZ   |S", "7|XYZ   |S"}), Rows("select * from T"));
  EXPECT_EQ(4, op_->m_lCurrentPos);
  // An empty batch of statements ends empty whichever way the layer takes it.
  op_->ExecBatchInsert(1, 0, "");
  EXPECT_EQ(0, op_->m_lOrderBuffLen);
}

TEST_P(BatchTest, BulkLoadFileBytesStatementAndRows) {
  ASSERT_EQ(0, mkdir((work_.path() + "/log").c_str(), 0755));
  ASSERT_EQ(1, Append("       1ABC123B"));
  ASSERT_EQ(1, Append("      -2DEF4  S"));
  ASSERT_EQ(1, Append("  12ab  \xB3\xC9\xB9\xA6  B"));  // GBK 成功
  ASSERT_EQ(1, op_->ExecBatchInsert(1, 2, "A"));
  EXPECT_EQ("1,ABC123,B,\r\n-2,DEF4  ,S,\r\n12,\xB3\xC9\xB9\xA6  ,B,\r\n", ReadFile(File("A")));
  EXPECT_EQ(Strings({"BULK INSERT [T] FROM '" + File("A") +
                     "' WITH ( DATAFILETYPE = 'char', FIELDTERMINATOR = ',', TABLOCK)"}),
            Sent(*op_));
  EXPECT_EQ(Strings({"-2|DEF4  |S", "1|ABC123|B", "12|\xE6\x88\x90\xE5\x8A\x9F  |B"}),
            Rows("select * from T order by 1"));
  // The same tag replaces the file; an empty batch writes it empty, loads nothing.
  ASSERT_EQ(1, op_->ExecBatchInsert(1, 2, "A"));
  EXPECT_EQ("", ReadFile(File("A")));
  EXPECT_EQ(3u, Rows("select * from T").size());
}

TEST_P(BatchTest, BulkBatchIsKeptWhileTheFileCannotBeWritten) {
  ASSERT_EQ(1, Append("       1ABC123B"));
  EXPECT_EQ(0, op_->ExecBatchInsert(1, 2, "A"));  // no log directory, and none made
  EXPECT_NE(0, access((work_.path() + "/log").c_str(), F_OK));
  ASSERT_EQ(0, mkdir((work_.path() + "/log").c_str(), 0755));
  // An unwritable file (here: a directory in its place): the batch is kept,
  // nothing is sent, and the reason is the connection's last error.
  ASSERT_EQ(0, mkdir(File("A").c_str(), 0755));
  op_->m_pConnection->ClearErrors();
  EXPECT_EQ(0, op_->ExecBatchInsert(1, 2, "A"));
  EXPECT_EQ("1,ABC123,B,\r\n", Content(*op_));
  EXPECT_TRUE(Sent(*op_).empty());
  EXPECT_EQ("", op_->m_strTrace.str());
  EXPECT_EQ(kestal::db::FailureKind::kResource, op_->m_pConnection->LastError().Kind());
  EXPECT_TRUE(Has(op_->m_pConnection->LastError().Description(), "Is a directory"))
      << op_->m_pConnection->LastError().Description();
  ASSERT_EQ(0, rmdir(File("A").c_str()));
  // Another loader holds the file: this one waits for it, then loads its own.
  WriteFile(File("A"), "theirs");
  int ready[2];
  ASSERT_EQ(0, pipe(ready));
  const std::string path = File("A");
  pid_t holder = Spawn([&] {
    int fd = open(path.c_str(), O_RDWR);
    return fd >= 0 && flock(fd, LOCK_EX) == 0 && write(ready[1], "x", 1) == 1 ? sleep(30) : 1;
  });
  char byte;
  ASSERT_EQ(1, read(ready[0], &byte, 1));
  std::thread release([&] {
    usleep(500000);
    Kill(holder);
  });
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(1, op_->ExecBatchInsert(1, 2, "A"));
  release.join();
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(400));
  EXPECT_EQ(Strings({"1"}), Rows("select rec_num from T"));
}

TEST_P(BatchTest, AppendsThatCannotBeHeldAreRefusedWhole) {
  for (const char* bad : {"       1AB,CD B", "       1AB\rCD B", "       1AB\nCD B"}) {
    const std::string before = Content(*op_);
    EXPECT_EQ(0, Append(bad)) << bad;  // would shift the columns of its line
    EXPECT_EQ(before, Content(*op_));
    EXPECT_EQ(1, Append(bad, 0)) << bad;  // quoted in a statement it is harmless
  }
  op_->BuffInit();
  int appended = 0;
  while (Append("       1ABC123B", 0) == 1) ++appended;
  const int used = op_->m_lOrderBuffLen;
  EXPECT_LE(used, CSQLOperate::kOrderBuffSize - 1);
  EXPECT_GT(used + used / appended, CSQLOperate::kOrderBuffSize - 1);
  EXPECT_EQ(3 + appended, op_->m_lCurrentPos);
  EXPECT_EQ(0, op_->m_pOrderBuff[used]);
}

TEST_P(BatchTest, BufferLifecycle) {
  char* first = op_->m_pOrderBuff;
  ASSERT_EQ(1, Append("       1ABC123B"));
  ASSERT_EQ(1, op_->AllocOrderBuff());  // kept and cleared, not leaked
  EXPECT_EQ(first, op_->m_pOrderBuff);
  EXPECT_EQ(0, op_->m_lOrderBuffLen);
  EXPECT_EQ(0, op_->m_pOrderBuff[0]);
  EXPECT_EQ(1, op_->FreeOrderBuff());
  EXPECT_EQ(1, op_->FreeOrderBuff());
  op_->BuffInit();
  EXPECT_EQ(0, Append("       1ABC123B"));
  EXPECT_EQ(0, op_->ExecBatchInsert(1, 0, ""));
  EXPECT_TRUE(Sent(*op_).empty());
}

TEST_P(BatchTest, AClearedBufferIsZeroThroughoutWhateverEmptiedIt) {
  const auto all_zero = [&] {
    const char* b = op_->m_pOrderBuff;
    return std::all_of(b, b + CSQLOperate::kOrderBuffSize, [](char c) { return c == 0; });
  };
  const auto fill = [&](int n) {
    for (int i = 0; i < n; ++i) ASSERT_EQ(1, Append("       1ABC123B", 0));
  };
  // A long batch whose send fails (the table is gone), then a short one.
  fill(2000);
  db_->Exec("drop table T");
  EXPECT_EQ(0, op_->ExecBatchInsert(1, 0, ""));
  EXPECT_EQ(0, op_->m_lOrderBuffLen);
  EXPECT_TRUE(all_zero());
  fill(1);
  const std::string one = Content(*op_);
  op_->BuffInit();
  EXPECT_TRUE(all_zero());
  // Text a host wrote past the length it set, and lengths out of range.
  fill(3);
  std::strcat(op_->m_pOrderBuff, "written by a host");
  op_->BuffInit();
  EXPECT_TRUE(all_zero());
  for (const int32_t length : {-1, CSQLOperate::kOrderBuffSize, INT32_MAX}) {
    fill(3);
    op_->m_lOrderBuffLen = length;
    op_->BuffInit();
    EXPECT_TRUE(all_zero()) << length;
  }
  fill(1);
  EXPECT_EQ(one, Content(*op_));
}

TEST_P(BatchTest, AllocationFailureReturnsZero) {
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "the sanitizer's allocator aborts instead of returning null";
#endif
  op_->FreeOrderBuff();
  // With the address space used up, allocation fails cleanly.
  pid_t child = Spawn([&] {
    rlimit cap{};
    std::vector<void*> hog;
    hog.reserve(4096);
    FILE* statm = fopen("/proc/self/statm", "r");
    long pages = 0;
    if (!statm || fscanf(statm, "%ld", &pages) != 1) return 2;
    cap.rlim_cur = cap.rlim_max = pages * sysconf(_SC_PAGESIZE) + (1 << 18);
    if (setrlimit(RLIMIT_AS, &cap) != 0) return 3;
    for (void* p; hog.size() < hog.capacity() && (p = malloc(CSQLOperate::kOrderBuffSize));)
      hog.push_back(p);
    return op_->AllocOrderBuff() == 0 && op_->m_pOrderBuff == nullptr ? 0 : 4;
  });
  EXPECT_EQ(0, Wait(child));
}

TEST_P(BatchTest, NoRecordedWorkingDirectoryKeepsTheBulkBatch) {
  std::string deep = work_.path();
  for (char c : {'a', 'b', 'c'})
    ASSERT_EQ(0, mkdir((deep += "/" + std::string(100, c)).c_str(), 0755));
  ASSERT_EQ(0, mkdir((deep + "/log").c_str(), 0755));
  auto op = Open("T", "", deep);  // a directory too long to record
  ASSERT_EQ('\0', op->m_szCurrentDir[0]);
  ASSERT_EQ(1, op->AllocOrderBuff());
  std::string rec = "       1ABC123B";
  ASSERT_EQ(1, op->AddInsertRecordToBuff(rec.data(), 2, 0));
  EXPECT_EQ(0, op->ExecBatchInsert(1, 2, "A"));
  EXPECT_EQ("1,ABC123,B,\r\n", Content(*op));
  EXPECT_TRUE(Sent(*op).empty());
}

}  // namespace
}  // namespace kestal::test
