// Command-line handling: the command tables, --help, and wrong usage (status 2).
#include <gtest/gtest.h>

#include "support/TestSupport.h"
#include "tools/ToolRunner.h"

namespace kestal::test {
namespace {

TEST(ToolUsageTest, NoCommandListsCommandsOnStderrWithStatus2) {
  const ToolResult r = RunKestal({});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("dbf"), std::string::npos);
  EXPECT_NE(r.err.find("demo"), std::string::npos);
}

TEST(ToolUsageTest, HelpListsCommandsOnStdout) {
  for (const char* help : {"--help", "-h"}) {
    const ToolResult r = RunKestal({help});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("dbf"), std::string::npos);
    EXPECT_NE(r.out.find("demo"), std::string::npos);
  }
  const ToolResult dbf = RunKestal({"dbf", "--help"});
  EXPECT_EQ(dbf.status, 0);
  for (const char* sub : {"info", "cat", "follow", "append", "create"}) {
    EXPECT_NE(dbf.out.find(sub), std::string::npos) << sub;
  }
  const ToolResult sql = RunKestal({"sql", "--help"});
  EXPECT_EQ(sql.status, 0);
  for (const char* sub : {"info", "follow", "exec"}) {
    EXPECT_NE(sql.out.find(sub), std::string::npos) << sub;
  }
}

TEST(ToolUsageTest, UnknownCommandsAreUsageErrors) {
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"frobnicate"}, {"dbf"}, {"dbf", "frobnicate"}, {"DBF", "cat", "x"}}) {
    const ToolResult r = RunKestal(args);
    EXPECT_EQ(r.status, 2) << args[0];
    EXPECT_TRUE(r.out.empty());
    EXPECT_FALSE(r.err.empty());
  }
}

class ToolCommandHelpTest : public ::testing::TestWithParam<std::vector<std::string>> {};

TEST_P(ToolCommandHelpTest, PrintsUsageWithStatus0) {
  std::vector<std::string> args = GetParam();
  std::string expect = "Usage: kestal";
  for (const std::string& a : args) expect += " " + a;
  args.push_back("--help");
  const ToolResult r = RunKestal(args);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind(expect, 0), 0u) << r.out;
}

INSTANTIATE_TEST_SUITE_P(Commands, ToolCommandHelpTest,
                         ::testing::Values(std::vector<std::string>{"dbf", "info"},
                                           std::vector<std::string>{"dbf", "cat"},
                                           std::vector<std::string>{"dbf", "follow"},
                                           std::vector<std::string>{"dbf", "append"},
                                           std::vector<std::string>{"dbf", "create"},
                                           std::vector<std::string>{"sql", "info"},
                                           std::vector<std::string>{"sql", "follow"},
                                           std::vector<std::string>{"sql", "exec"},
                                           std::vector<std::string>{"bridge"},
                                           std::vector<std::string>{"demo"}));

class ToolBadArgumentsTest : public ::testing::TestWithParam<std::vector<std::string>> {};

TEST_P(ToolBadArgumentsTest, ExitsWith2AndAMessage) {
  TempDir dir;
  std::vector<std::string> args;
  for (const std::string& a : GetParam()) args.push_back(a == "@" ? dir.File("t.dbf") : a);
  const ToolResult r = RunKestal(args);
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("--help"), std::string::npos) << r.err;
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, ToolBadArgumentsTest,
    ::testing::Values(std::vector<std::string>{"dbf", "cat"},
                      std::vector<std::string>{"dbf", "cat", "@", "extra"},
                      std::vector<std::string>{"dbf", "cat", "@", "--bogus"},
                      std::vector<std::string>{"dbf", "cat", "@", "-x"},
                      std::vector<std::string>{"dbf", "cat", "@", "--from"},
                      std::vector<std::string>{"dbf", "cat", "@", "--from", "abc"},
                      std::vector<std::string>{"dbf", "cat", "@", "--from", "0"},
                      std::vector<std::string>{"dbf", "cat", "@", "--from=3x"},
                      std::vector<std::string>{"dbf", "cat", "@", "--limit", "-1"},
                      std::vector<std::string>{"dbf", "info"},
                      std::vector<std::string>{"dbf", "follow", "@", "--interval", "-5"},
                      std::vector<std::string>{"dbf", "append"},
                      std::vector<std::string>{"dbf", "append", "@", "--tag"},
                      std::vector<std::string>{"dbf", "create", "@"},
                      std::vector<std::string>{"dbf", "create", "@", "--fields"},
                      std::vector<std::string>{"demo", "extra"},
                      std::vector<std::string>{"demo", "--records", "0"},
                      std::vector<std::string>{"demo", "--records", "many"}));

}  // namespace
}  // namespace kestal::test
