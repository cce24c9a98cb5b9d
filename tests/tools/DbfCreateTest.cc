// kestal dbf create: the header it writes, and the field lists it refuses.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>

#include "support/TestSupport.h"
#include "tools/ToolRunner.h"
#include "tools/ToolTestUtil.h"

namespace kestal::test {
namespace {

bool Exists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

TEST(DbfCreateTest, WritesAnEmptyDbaseIIITable) {
  TempDir dir;
  const std::string path = dir.File("t.dbf");
  CreateTable(path, "name:c:8,Qty:N:6:2");
  const std::string bytes = ReadFile(path);
  ASSERT_EQ(bytes.size(), 32u + 64u + 1u + 1u);
  EXPECT_EQ(bytes[0], 0x03);
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  EXPECT_EQ(static_cast<unsigned char>(bytes[1]), local.tm_year % 256);
  EXPECT_EQ(bytes[2], local.tm_mon + 1);
  EXPECT_EQ(bytes[3], local.tm_mday);
  EXPECT_EQ(Le32(bytes, 4), 0u);
  EXPECT_EQ(Le16(bytes, 8), 97);
  EXPECT_EQ(Le16(bytes, 10), 15);
  EXPECT_EQ(bytes.substr(32, 11), std::string("NAME\0\0\0\0\0\0\0", 11));
  EXPECT_EQ(bytes[43], 'C');
  EXPECT_EQ(bytes[48], 8);
  EXPECT_EQ(bytes.substr(64, 11), std::string("QTY\0\0\0\0\0\0\0\0", 11));
  EXPECT_EQ(bytes[75], 'N');
  EXPECT_EQ(bytes[80], 6);
  EXPECT_EQ(bytes[81], 2);
  EXPECT_EQ(bytes[96], 0x0D);
  EXPECT_EQ(bytes[97], 0x1A);

  // The library reads it back: field offsets 1 and 9, no records.
  const ToolResult info = RunKestal({"dbf", "info", path});
  ASSERT_EQ(info.status, 0) << info.err;
  EXPECT_NE(info.out.find("Records:        0\n"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("Header length:  97\n"), std::string::npos);
  EXPECT_NE(info.out.find("  1  NAME        C          8    0       1\n"), std::string::npos)
      << info.out;
  EXPECT_NE(info.out.find("  2  QTY         N          6    2       9\n"), std::string::npos);
  const ToolResult cat = RunKestal({"dbf", "cat", path});
  EXPECT_EQ(cat.status, 0);
  EXPECT_EQ(cat.out, "NAME,QTY\n");
}

TEST(DbfCreateTest, AcceptsARecordOfExactly512Bytes) {
  TempDir dir;
  CreateTable(dir.File("t.dbf"), "A:C:254,B:C:254,C:C:3");
  EXPECT_EQ(Le16(ReadFile(dir.File("t.dbf")), 10), 512);
}

TEST(DbfCreateTest, NeverOverwritesAnExistingFile) {
  TempDir dir;
  const std::string path = dir.File("t.dbf");
  WriteFile(path, "precious");
  const ToolResult r = RunKestal({"dbf", "create", path, "--fields", "A:C:5"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("already exists"), std::string::npos) << r.err;
  EXPECT_EQ(ReadFile(path), "precious");
}

TEST(DbfCreateTest, MissingFolderIsAnError) {
  TempDir dir;
  const ToolResult r = RunKestal({"dbf", "create", dir.File("no/such/t.dbf"), "--fields", "A:C:5"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("cannot create"), std::string::npos) << r.err;
}

class DbfCreateBadFieldsTest : public ::testing::TestWithParam<const char*> {};

TEST_P(DbfCreateBadFieldsTest, IsAUsageErrorAndCreatesNothing) {
  TempDir dir;
  const std::string path = dir.File("t.dbf");
  const ToolResult r = RunKestal({"dbf", "create", path, "--fields", GetParam()});
  EXPECT_EQ(r.status, 2) << GetParam();
  EXPECT_FALSE(r.err.empty());
  EXPECT_FALSE(Exists(path));
}

INSTANTIATE_TEST_SUITE_P(FieldLists, DbfCreateBadFieldsTest,
                         ::testing::Values("", "A", "A:C", "A:C:", "A:C:x", "A:C:0", "A:C:255",
                                           "A:C:5:2:1", "A:X:5", "A:CC:5", "1A:C:5", "_A:C:5",
                                           "A B:C:5", "ELEVENCHARS:C:5", "A\xC2\xF2:C:5", "A:D:7",
                                           "A:L:2", "A:N:21", "A:N:5:4", "A:C:5:1", "A:C:5,a:N:3",
                                           ",A:C:5", "A:C:5,", "A:C:254,B:C:254,C:C:4"));

TEST(DbfCreateTest, MoreThan100FieldsAreRefused) {
  TempDir dir;
  std::string fields;
  for (int i = 0; i < 101; ++i) fields += (i ? ",F" : "F") + std::to_string(i) + ":C:1";
  const ToolResult r = RunKestal({"dbf", "create", dir.File("t.dbf"), "--fields", fields});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("100"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace kestal::test
