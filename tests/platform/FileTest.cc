// CFile and CFileException: opening without creating, positioned reading and
// writing, and failure texts that name operation, path and reason.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "platform/File.h"
#include "support/TestSupport.h"

namespace kestal::test {
namespace {

constexpr unsigned kShared = CFile::modeReadWrite | CFile::shareDenyNone | CFile::typeBinary;

// Runs body and returns the CFileException it raises; fails when none is raised.
template <typename Body>
CFileException Raised(Body body) {
  try {
    body();
  } catch (const CFileException& e) {
    return e;
  }
  ADD_FAILURE() << "no CFileException";
  return CFileException("none", "", 0);
}

TEST(FileTest, OpensExistingFilesOnly) {
  TempDir dir;
  std::string path = dir.File("missing.dbf");
  CFile file;
  CFileException e = Raised([&] { file.Open(path.c_str(), kShared | CFile::modeCreate); });
  EXPECT_EQ(CFileException::fileNotFound, e.m_cause);
  EXPECT_EQ(ENOENT, e.m_lOsError);
  EXPECT_EQ(CString(path.c_str()), e.m_strFileName);
  EXPECT_EQ("open of " + path + " failed: " + strerror(ENOENT), std::string(e.what()));
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_FALSE(file.IsOpen());

  e = Raised([&] { file.Open(dir.path().c_str(), kShared); });
  EXPECT_EQ(EISDIR, e.m_lOsError);
  e = Raised([&] { file.Open(nullptr, kShared); });
  EXPECT_EQ(ENOENT, e.m_lOsError);
}

TEST(FileTest, ReadsAndWritesAtThePosition) {
  TempDir dir;
  std::string path = dir.File("f");
  WriteFile(path, "0123456789");
  CFile file;
  file.Open(path.c_str(), kShared);
  EXPECT_EQ(10u, file.GetLength());
  EXPECT_EQ(4u, file.Seek(4, CFile::begin));
  char buf[8] = {};
  EXPECT_EQ(3u, file.Read(buf, 3));
  EXPECT_STREQ("456", buf);
  EXPECT_EQ(7u, file.GetPosition());
  file.Write("ab", 2);
  EXPECT_EQ(2u, file.Seek(-7, CFile::current));
  EXPECT_EQ(8u, file.Seek(-2, CFile::end));
  EXPECT_EQ(2u, file.Read(buf, 8));  // short at the end of the file
  EXPECT_EQ(0u, file.Read(buf, 8));
  file.Seek(12, CFile::begin);  // writing past the end leaves a hole of zeros
  file.Write("z", 1);
  file.Close();
  EXPECT_EQ(std::string("0123456ab9\0\0z", 13), ReadFile(path));
}

TEST(FileTest, SeekBeforeTheStartIsRefused) {
  TempDir dir;
  std::string path = dir.File("f");
  WriteFile(path, "abc");
  CFile file;
  file.Open(path.c_str(), kShared);
  CFileException e = Raised([&] { file.Seek(-4, CFile::end); });
  EXPECT_EQ(CFileException::badSeek, e.m_cause);
  EXPECT_EQ(CString("seek"), e.m_strOperation);
  EXPECT_EQ(3u, file.Seek(0, CFile::end));
}

TEST(FileTest, ClosedHandleRaisesBadFile) {
  CFile file;
  char c;
  CFileException e = Raised([&] { file.Read(&c, 1); });
  EXPECT_EQ(EBADF, e.m_lOsError);
  EXPECT_EQ(CFileException::invalidFile, e.m_cause);
  EXPECT_NO_THROW(file.Close());
  EXPECT_NO_THROW(file.Abort());
}

TEST(FileTest, ErrorMessageIsCutToTheBuffer) {
  CFileException e("write", "/some/where.dbf", ENOSPC);
  EXPECT_EQ(CFileException::diskFull, e.m_cause);
  char big[256];
  ASSERT_EQ(1, e.GetErrorMessage(big, sizeof big));
  EXPECT_EQ(std::string("write of /some/where.dbf failed: ") + strerror(ENOSPC), big);
  char small[6];
  memset(small, 'x', sizeof small);
  ASSERT_EQ(1, e.GetErrorMessage(small, sizeof small));
  EXPECT_STREQ("write", small);
  EXPECT_EQ(0, e.GetErrorMessage(small, 0));
  // A very long path still leaves a terminated text.
  CFileException longer("read", CString('p', 1000), EIO);
  ASSERT_EQ(1, longer.GetErrorMessage(big, sizeof big));
  EXPECT_EQ(255u, strlen(big));
}

TEST(FileTest, FaultHookFailsTheNamedOperation) {
  TempDir dir;
  std::string path = dir.File("f");
  WriteFile(path, "abc");
  CFile file;
  file.Open(path.c_str(), kShared);
  CFile::SetFaultHook([&](const char* op, const CString& p) {
    return strcmp(op, "write") == 0 && p == path.c_str() ? EIO : 0;
  });
  CFileException e = Raised([&] { file.Write("x", 1); });
  char c;
  EXPECT_EQ(1u, file.Read(&c, 1));
  CFile::SetFaultHook({});
  EXPECT_EQ(CFileException::hardIO, e.m_cause);
  EXPECT_EQ("write of " + path + " failed: " + strerror(EIO), std::string(e.what()));
  EXPECT_EQ("abc", ReadFile(path));
}

TEST(FileTest, MovingHandsTheHandleOver) {
  TempDir dir;
  std::string path = dir.File("f");
  WriteFile(path, "abc");
  CFile a;
  a.Open(path.c_str(), kShared);
  CFile b(std::move(a));
  EXPECT_FALSE(a.IsOpen());
  ASSERT_TRUE(b.IsOpen());
  EXPECT_EQ(CString(path.c_str()), b.GetFilePath());
  CFile c;
  c = std::move(b);
  char buf[4] = {};
  EXPECT_EQ(3u, c.Read(buf, 3));
  EXPECT_STREQ("abc", buf);
}

TEST(FileTest, ReadOnlyHandleCannotWrite) {
  TempDir dir;
  std::string path = dir.File("f");
  WriteFile(path, "abc");
  CFile file;
  file.Open(path.c_str(), CFile::modeRead);
  CFileException e = Raised([&] { file.Write("x", 1); });
  EXPECT_EQ(EBADF, e.m_lOsError);
  EXPECT_EQ("abc", ReadFile(path));
}

}  // namespace
}  // namespace kestal::test
