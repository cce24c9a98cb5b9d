// kestal demo end to end: two real processes on one table file.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/TestSupport.h"
#include "tools/ToolRunner.h"
#include "tools/ToolTestUtil.h"

namespace kestal::test {
namespace {

TEST(ToolDemoTest, EveryOrderArrivesOnceInOrder) {
  const ToolResult r = RunKestal({"demo", "--records", "30"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("REC_NUM,STOCK,BS,PRICE,QTY,NOTE\n1,600036,B,10.01,200,买入\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("30,600000,S,10.30,100,\"卖出, 限价\"\n"), std::string::npos);
  EXPECT_NE(r.out.find("Summary: 30 orders sent, 30 records followed"), std::string::npos);
  EXPECT_NE(r.out.find("every order arrived exactly once, in order and unchanged"),
            std::string::npos);
  EXPECT_EQ(r.out.substr(r.out.size() - 3), "OK\n");
}

TEST(ToolDemoTest, KeepLeavesTheTableAndRefusesToReuseIt) {
  TempDir dir;
  const std::string keep = dir.File("kept");
  const ToolResult r = RunKestal({"demo", "--records", "12", "--keep", keep});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(HeaderCount(keep + "/orders.dbf"), 12u);
  const ToolResult cat = RunKestal({"dbf", "cat", keep + "/orders.dbf", "--from", "12"});
  EXPECT_EQ(cat.out, "REC_NUM,STOCK,BS,PRICE,QTY,NOTE\n12,000001,S,10.12,300,\"卖出, 限价\"\n");

  const ToolResult again = RunKestal({"demo", "--records", "12", "--keep", keep});
  EXPECT_EQ(again.status, 1);
  EXPECT_NE(again.err.find("already exists"), std::string::npos) << again.err;
  EXPECT_EQ(HeaderCount(keep + "/orders.dbf"), 12u);
}

TEST(ToolDemoTest, KeepInAMissingParentFolderIsAnError) {
  TempDir dir;
  const ToolResult r = RunKestal({"demo", "--keep", dir.File("no/such")});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("cannot make the folder"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace kestal::test
