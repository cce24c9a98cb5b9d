// Byte-range locks of CFile belong to the handle: they exclude other handles
// in this process and in others, and outlive the close of other handles.
#include <gtest/gtest.h>

#include "platform/File.h"
#include "support/TestSupport.h"

namespace kestal::test {
namespace {

constexpr unsigned kShared = CFile::modeReadWrite | CFile::shareDenyNone | CFile::typeBinary;

class LockTest : public ::testing::Test {
 protected:
  void SetUp() override { WriteFile(path, std::string(64, 'x')); }
  CFile& Open(CFile& file) {
    file.Open(path.c_str(), kShared);
    return file;
  }
  // Whether file can lock [pos, pos + 4) at once; releases it again if so.
  static bool CanLock(CFile& file, uint64_t pos, bool shared = false) {
    try {
      shared ? file.LockRangeShared(pos, 4) : file.LockRange(pos, 4);
    } catch (const CFileException& e) {
      EXPECT_EQ(CFileException::lockViolation, e.m_cause) << e.what();
      return false;
    }
    file.UnlockRange(pos, 4);
    return true;
  }
  // The same question, asked by a fresh handle in a child process.
  bool OtherProcessCanLock(uint64_t pos, bool shared = false) {
    return Wait(Spawn([&] {
             CFile file;
             return CanLock(Open(file), pos, shared) ? 0 : 1;
           })) == 0;
  }

  TempDir dir;
  std::string path = dir.File("locked");
};

TEST_F(LockTest, TwoHandlesInOneProcessExcludeEachOther) {
  CFile a, b;
  Open(a).LockRange(4, 4);
  EXPECT_FALSE(CanLock(Open(b), 4));
  EXPECT_FALSE(CanLock(b, 7));  // any overlap conflicts
  EXPECT_TRUE(CanLock(b, 8));
  a.UnlockRange(4, 4);
  EXPECT_TRUE(CanLock(b, 4));
}

TEST_F(LockTest, ClosingAnotherHandleKeepsTheLock) {
  CFile a, b, c;
  Open(a).LockRange(4, 4);
  Open(c).Close();
  EXPECT_FALSE(CanLock(Open(b), 4));
  EXPECT_FALSE(OtherProcessCanLock(4));
  a.Close();  // closing the holder releases it
  EXPECT_TRUE(CanLock(b, 4));
}

TEST_F(LockTest, ExclusiveAndSharedLocksBetweenProcesses) {
  CFile a, b;
  Open(a).LockRange(4, 4);
  EXPECT_FALSE(OtherProcessCanLock(4));
  EXPECT_FALSE(OtherProcessCanLock(4, true));
  EXPECT_TRUE(OtherProcessCanLock(8));
  a.UnlockRange(4, 4);
  a.LockRangeShared(4, 4);
  EXPECT_TRUE(CanLock(Open(b), 4, true));  // readers coexist
  EXPECT_TRUE(OtherProcessCanLock(4, true));
  EXPECT_FALSE(OtherProcessCanLock(4));  // but hold off a writer
  a.UnlockRange(4, 4);
  EXPECT_TRUE(OtherProcessCanLock(4));
}

}  // namespace
}  // namespace kestal::test
