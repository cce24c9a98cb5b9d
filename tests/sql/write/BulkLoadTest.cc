// Mode-2 batches: the bulk-load file below the working directory taken at
// construction, its exact bytes, the BULK INSERT statement, and the paths
// where the file cannot be written or the server cannot load it.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "sql/write/WriteFixture.h"

namespace kestal::test {
namespace {

using Strings = std::vector<std::string>;

class BulkLoadTest : public WriteTest {
 protected:
  void SetUp() override {
    WriteTest::SetUp();
    db_->Exec("create table T (rec_num int not null, stock varchar(6), bs char(1))");
    // The object takes the working directory when it is constructed; the
    // test goes back at once, so only that snapshot can lead to work_.
    {
      ScopedChdir in(work_.path());
      op_ = OpenExisting("T");
    }
    ASSERT_EQ(1, op_->AllocOrderBuff());
  }
  void MakeLogDir() { ASSERT_EQ(0, mkdir(work_.File("log").c_str(), 0755)); }
  std::string FilePath(const std::string& tag) {
    return work_.path() + "/log/OrderTemp_" + tag + ".txt";
  }
  std::string Statement(const std::string& tag) {
    return "BULK INSERT [T] FROM '" + FilePath(tag) +
           "' WITH ( DATAFILETYPE = 'char', FIELDTERMINATOR = ',', TABLOCK)";
  }
  void Append(const char* image) {
    std::string bytes = image;
    ASSERT_EQ(1, op_->AddInsertRecordToBuff(bytes.data(), 2, 0));
  }

  TempDir work_;
  std::unique_ptr<CSQLOperate> op_;
};
KESTAL_WRITE_ENGINES(BulkLoadTest);

TEST_P(BulkLoadTest, ThreeRecordsGiveTheExactFileAndLoad) {
  MakeLogDir();
  Append("       1ABC123B");
  Append("      -2DEF4  S");
  Append("  12ab  \xB3\xC9\xB9\xA6  B");  // GBK 成功 in the stock field
  const std::string expected =
      "1,ABC123,B,\r\n"
      "-2,DEF4  ,S,\r\n"
      "12,\xB3\xC9\xB9\xA6  ,B,\r\n";
  ASSERT_EQ(1, op_->ExecBatchInsert(1, 2, "A"));
  EXPECT_EQ(expected, ReadFile(FilePath("A")));
  EXPECT_EQ(Strings({Statement("A")}), Sent(*op_));
  EXPECT_EQ(Strings({"-2|DEF4  |S", "1|ABC123|B", "12|\xE6\x88\x90\xE5\x8A\x9F  |B"}),
            Rows("select * from T order by rec_num"));
  EXPECT_EQ(0, op_->m_lOrderBuffLen);
  EXPECT_EQ(3, op_->m_lCurrentPos);
}

TEST_P(BulkLoadTest, MissingLogDirectoryKeepsTheBatchUntilItExists) {
  Append("       1ABC123B");
  Append("       2ABC123S");
  const int used = op_->m_lOrderBuffLen;
  EXPECT_EQ(0, op_->ExecBatchInsert(1, 2, "A"));
  EXPECT_EQ(used, op_->m_lOrderBuffLen);
  EXPECT_EQ("1,ABC123,B,\r\n2,ABC123,S,\r\n", std::string(op_->m_pOrderBuff));
  EXPECT_TRUE(Sent(*op_).empty());
  EXPECT_EQ("", op_->m_strTrace.str());  // no reconnection
  struct stat st;
  EXPECT_NE(0, stat(work_.File("log").c_str(), &st));  // never created

  MakeLogDir();
  ASSERT_EQ(1, op_->ExecBatchInsert(1, 2, "A"));
  EXPECT_EQ(Strings({"1", "2"}), Rows("select rec_num from T order by 1"));
}

TEST_P(BulkLoadTest, SameTagReplacesTheFile) {
  MakeLogDir();
  Append("       1ABC123B");
  Append("       2ABC123B");
  ASSERT_EQ(1, op_->ExecBatchInsert(1, 2, "A"));
  Append("       3XYZ   S");
  ASSERT_EQ(1, op_->ExecBatchInsert(1, 2, "A"));
  EXPECT_EQ("3,XYZ   ,S,\r\n", ReadFile(FilePath("A")));
  Append("       4XYZ   S");
  ASSERT_EQ(1, op_->ExecBatchInsert(1, 2, "B"));
  EXPECT_EQ("4,XYZ   ,S,\r\n", ReadFile(FilePath("B")));
  EXPECT_EQ(Strings({"1", "2", "3", "4"}), Rows("select rec_num from T order by 1"));
}

TEST_P(BulkLoadTest, EmptyBatchWritesAnEmptyFileAndLoadsNothing) {
  MakeLogDir();
  WriteFile(FilePath("E"), "stale content\r\n");
  EXPECT_EQ(1, op_->ExecBatchInsert(1, 2, "E"));
  EXPECT_EQ("", ReadFile(FilePath("E")));
  EXPECT_EQ(Strings({Statement("E")}), Sent(*op_));
  EXPECT_TRUE(Rows("select * from T").empty());
}

TEST_P(BulkLoadTest, ServerFailureDropsTheBatchAndReconnects) {
  MakeLogDir();
  Append("       1ABC123B");
  db_->Exec("drop table T");
  EXPECT_EQ(0, op_->ExecBatchInsert(1, 2, "A"));
  EXPECT_EQ(0, op_->m_lOrderBuffLen);
  EXPECT_EQ(0, op_->m_pOrderBuff[0]);
  EXPECT_NE(std::string::npos, op_->m_strTrace.str().find("-ReOpenSuccess}"));
  EXPECT_EQ("1,ABC123,B,\r\n", ReadFile(FilePath("A")));  // left in place
  EXPECT_EQ(1, op_->m_lCurrentPos);
}

TEST_P(BulkLoadTest, FileLockedByAnotherLoaderKeepsTheBatch) {
  MakeLogDir();
  WriteFile(FilePath("A"), "theirs\r\n");
  int ready[2];
  ASSERT_EQ(0, pipe(ready));
  const std::string path = FilePath("A");
  pid_t holder = Spawn([&] {
    int fd = open(path.c_str(), O_RDWR);
    if (fd < 0 || flock(fd, LOCK_EX) != 0) return 1;
    if (write(ready[1], "x", 1) != 1) return 2;
    sleep(30);
    return 0;
  });
  char byte;
  ASSERT_EQ(1, read(ready[0], &byte, 1));
  Append("       1ABC123B");
  EXPECT_EQ(0, op_->ExecBatchInsert(1, 2, "A"));
  EXPECT_EQ("theirs\r\n", ReadFile(path));  // neither truncated nor overwritten
  EXPECT_EQ("1,ABC123,B,\r\n", std::string(op_->m_pOrderBuff));
  EXPECT_TRUE(Sent(*op_).empty());
  Kill(holder);
  close(ready[0]);
  close(ready[1]);
  EXPECT_EQ(1, op_->ExecBatchInsert(1, 2, "A"));
  EXPECT_EQ(Strings({"1"}), Rows("select rec_num from T"));
}

TEST_P(BulkLoadTest, EmptyStatementBatch) {
  // An empty command text either runs as nothing or takes the failure path;
  // in both cases the buffer ends empty and nothing is inserted.
  int result = op_->ExecBatchInsert(1, 0, "");
  EXPECT_EQ(0, op_->m_lOrderBuffLen);
  if (result == 0) {
    EXPECT_NE(std::string::npos, op_->m_strTrace.str().find("ReOpen"));
  } else {
    EXPECT_EQ("", op_->m_strTrace.str());
  }
  EXPECT_EQ(Strings({""}), Sent(*op_));
  EXPECT_TRUE(Rows("select * from T").empty());
}

}  // namespace
}  // namespace kestal::test
