// Byte-range locks of CFile: they belong to the handle, so they exclude other
// handles in the same process and in other processes, and survive the close
// of other handles of the file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "platform/CriticalSection.h"
#include "platform/File.h"
#include "support/TestSupport.h"

namespace kestal::test {
namespace {

constexpr unsigned kShared = CFile::modeReadWrite | CFile::shareDenyNone | CFile::typeBinary;

class LockTest : public ::testing::Test {
 protected:
  void SetUp() override { WriteFile(path, std::string(64, 'x')); }
  void Open(CFile& file) { file.Open(path.c_str(), kShared); }
  // Whether file can take an exclusive lock of [pos, pos + len) right now;
  // releases it again when it could.
  static bool CanLock(CFile& file, uint64_t pos, uint64_t len) {
    try {
      file.LockRange(pos, len);
    } catch (const CFileException&) {
      return false;
    }
    file.UnlockRange(pos, len);
    return true;
  }
  // Same question asked from a fresh handle in a child process.
  bool OtherProcessCanLock(uint64_t pos, uint64_t len, bool shared = false) {
    pid_t pid = Spawn([&] {
      CFile file;
      file.Open(path.c_str(), kShared);
      try {
        if (shared) {
          file.LockRangeShared(pos, len);
        } else {
          file.LockRange(pos, len);
        }
      } catch (const CFileException&) {
        return 1;
      }
      return 0;
    });
    return Wait(pid) == 0;
  }

  TempDir dir;
  std::string path = dir.File("locked");
};

TEST_F(LockTest, TwoHandlesInOneProcessExcludeEachOther) {
  CFile a, b;
  Open(a);
  Open(b);
  a.LockRange(4, 4);
  CFileException e("", "", 0);
  try {
    b.LockRange(4, 4);
    ADD_FAILURE() << "second handle got the lock";
  } catch (const CFileException& raised) {
    e = raised;
  }
  EXPECT_EQ(CFileException::lockViolation, e.m_cause);
  EXPECT_EQ(CString("lock"), e.m_strOperation);
  EXPECT_NE(std::string::npos, std::string(e.what()).find(path));
  EXPECT_FALSE(CanLock(b, 7, 1));  // any overlap conflicts
  EXPECT_TRUE(CanLock(b, 8, 4));   // the next bytes are free
  EXPECT_TRUE(CanLock(b, 0, 4));
  a.UnlockRange(4, 4);
  EXPECT_TRUE(CanLock(b, 4, 4));
}

TEST_F(LockTest, ClosingAnotherHandleKeepsTheLock) {
  CFile a, b, c;
  Open(a);
  Open(b);
  Open(c);
  a.LockRange(4, 4);
  c.Close();
  EXPECT_FALSE(CanLock(b, 4, 4));
  EXPECT_FALSE(OtherProcessCanLock(4, 4));
  a.Close();  // closing the holder releases it
  EXPECT_TRUE(CanLock(b, 4, 4));
}

TEST_F(LockTest, LocksExcludeOtherProcesses) {
  CFile a;
  Open(a);
  EXPECT_TRUE(OtherProcessCanLock(4, 4));
  a.LockRange(4, 4);
  EXPECT_FALSE(OtherProcessCanLock(4, 4));
  EXPECT_FALSE(OtherProcessCanLock(4, 4, true));
  EXPECT_TRUE(OtherProcessCanLock(8, 4));
  a.UnlockRange(4, 4);
  EXPECT_TRUE(OtherProcessCanLock(4, 4));
}

TEST_F(LockTest, SharedLocksCoexistButHoldOffExclusiveOnes) {
  CFile a, b, c;
  Open(a);
  Open(b);
  Open(c);
  a.LockRangeShared(4, 4);
  EXPECT_NO_THROW(b.LockRangeShared(4, 4));
  EXPECT_FALSE(CanLock(c, 4, 4));
  EXPECT_FALSE(OtherProcessCanLock(4, 4));
  EXPECT_TRUE(OtherProcessCanLock(4, 4, true));
  a.UnlockRange(4, 4);
  b.UnlockRange(4, 4);
  EXPECT_TRUE(CanLock(c, 4, 4));
}

TEST_F(LockTest, LockOfAKilledProcessIsReleased) {
  int fds[2];
  ASSERT_EQ(0, pipe(fds));
  pid_t holder = Spawn([&] {
    CFile file;
    file.Open(path.c_str(), kShared);
    file.LockRange(4, 4);
    char ready = 'r';
    if (write(fds[1], &ready, 1) != 1) return 1;
    for (;;) pause();
  });
  char ready = 0;
  ASSERT_EQ(1, read(fds[0], &ready, 1));
  close(fds[0]);
  close(fds[1]);
  CFile a;
  Open(a);
  EXPECT_FALSE(CanLock(a, 4, 4));
  Kill(holder);
  EXPECT_TRUE(CanLock(a, 4, 4));
}

TEST_F(LockTest, EmptyOrClosedRangesAreRefused) {
  CFile a;
  CFileException e("", "", 0);
  try {
    a.LockRange(4, 4);
  } catch (const CFileException& raised) {
    e = raised;
  }
  EXPECT_EQ(EBADF, e.m_lOsError);
  Open(a);
  EXPECT_THROW(a.LockRange(4, 0), CFileException);
  EXPECT_THROW(a.LockRange(UINT64_MAX, 2), CFileException);
}

TEST_F(LockTest, CriticalSectionIsRecursiveAndExcludesOtherThreads) {
  CCriticalSection cs;
  cs.Lock();
  cs.Lock();
  cs.Unlock();
  int counter = 0;
  std::thread other([&] {
    cs.Lock();
    ++counter;
    cs.Unlock();
  });
  usleep(20000);
  EXPECT_EQ(0, counter);  // still held once
  cs.Unlock();
  other.join();
  EXPECT_EQ(1, counter);
}

}  // namespace
}  // namespace kestal::test
