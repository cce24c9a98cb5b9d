// CFile and CFileException: opening without creating, positioned reading and
// writing, and failure texts that name operation, path and reason.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "platform/File.h"
#include "support/TestSupport.h"

namespace kestal::test {
namespace {

constexpr unsigned kShared = CFile::modeReadWrite | CFile::shareDenyNone | CFile::typeBinary;

// The CFileException that body raises; fails the test when none is raised.
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

TEST(FileTest, FailuresNameOperationPathAndReason) {
  TempDir dir;
  std::string path = dir.File("missing.dbf");
  CFile file;
  CFileException e = Raised([&] { file.Open(path.c_str(), kShared | CFile::modeCreate); });
  EXPECT_EQ(CFileException::fileNotFound, e.m_cause);
  EXPECT_EQ("open of " + path + " failed: " + strerror(ENOENT), std::string(e.what()));
  EXPECT_FALSE(std::filesystem::exists(path));  // never created
  EXPECT_EQ(EISDIR, Raised([&] { file.Open(dir.path().c_str(), kShared); }).m_lOsError);
  EXPECT_EQ(EBADF, Raised([&] { file.Seek(0, CFile::begin); }).m_lOsError);

  WriteFile(path, "abc");
  file.Open(path.c_str(), kShared);
  e = Raised([&] { file.Seek(-4, CFile::end); });
  EXPECT_EQ("seek of " + path + " failed: " + strerror(EINVAL), std::string(e.what()));
  CFile::SetFaultHook([](const char* op, const CString&) { return strcmp(op, "write") ? 0 : EIO; });
  e = Raised([&] { file.Write("x", 1); });
  CFile::SetFaultHook({});
  EXPECT_EQ(CFileException::hardIO, e.m_cause);
  EXPECT_EQ("write of " + path + " failed: " + strerror(EIO), std::string(e.what()));
  EXPECT_EQ("abc", ReadFile(path));
}

TEST(FileTest, ErrorMessageIsCutToTheCallersBuffer) {
  CFileException e("read", CString('p', 1000), EIO);
  char text[255];
  memset(text, 'x', sizeof text);
  ASSERT_EQ(1, e.GetErrorMessage(text, sizeof text));
  EXPECT_EQ(254u, strlen(text));
  EXPECT_EQ(0, strncmp(text, "read of ppp", 11));
  EXPECT_EQ(0, e.GetErrorMessage(text, 0));
}

TEST(FileTest, ReadsAndWritesAtThePosition) {
  TempDir dir;
  std::string path = dir.File("f");
  WriteFile(path, "0123456789");
  CFile file;
  file.Open(path.c_str(), kShared);
  EXPECT_EQ(4u, file.Seek(4, CFile::begin));
  char buf[8] = {};
  EXPECT_EQ(3u, file.Read(buf, 3));
  EXPECT_STREQ("456", buf);
  file.Write("ab", 2);
  EXPECT_EQ(8u, file.Seek(-2, CFile::end));
  EXPECT_EQ(2u, file.Read(buf, 8));  // short at the end of the file
  file.Seek(12, CFile::begin);       // past the end: a hole of zeros
  file.Write("z", 1);
  file.Close();
  EXPECT_EQ(std::string("0123456ab9\0\0z", 13), ReadFile(path));
}

}  // namespace
}  // namespace kestal::test
