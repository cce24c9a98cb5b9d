// kestal demo end to end: two real processes on one table file.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include "support/TestSupport.h"
#include "tools/ToolRunner.h"
#include "tools/ToolTestUtil.h"

namespace kestal::test {
namespace {

TEST(ToolDemoTest, EveryOrderArrivesInTheDatabaseOnceInOrder) {
  const ToolResult r = RunKestal({"demo", "--records", "30"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("orders written 30, rows followed in the database 30\n"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("Summary: 30 orders written, 30 rows followed"), std::string::npos);
  EXPECT_NE(r.out.find("the table holds 30 rows, rec_num up to 30\n"), std::string::npos);
  EXPECT_NE(r.out.find("every order arrived exactly once, in order and unchanged"),
            std::string::npos);
  EXPECT_EQ(r.out.substr(r.out.size() - 3), "OK\n");
}

TEST(ToolDemoTest, KeepLeavesBothTablesAndRefusesToReuseThem) {
  TempDir dir;
  const std::string keep = dir.File("kept");
  const ToolResult r = RunKestal({"demo", "--records", "12", "--keep", keep});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(HeaderCount(keep + "/orders.dbf"), 12u);
  const ToolResult cat = RunKestal({"dbf", "cat", keep + "/orders.dbf", "--from", "12"});
  EXPECT_EQ(cat.out, "REC_NUM,STOCK,BS,PRICE,QTY,NOTE\n12,000001,S,10.12,300,\"卖出, 限价\"\n");
  const std::string conn = "Provider=SQLite;Data Source=" + keep + "/orders.db";
  RunningTool follow({"sql", "follow", conn, "orders", "--from", "11"});
  EXPECT_EQ(follow.ReadLines(2, 10000),
            "rec_num,stock,bs,price,qty,note\n12,000001,S,10.12,300,\"卖出, 限价\"\n");
  follow.Stop(SIGTERM);

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
