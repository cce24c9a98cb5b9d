// kestal sql check on every engine here: all steps pass and the scratch
// tables are gone afterwards; an unreachable server fails every step that
// needs it, with exit status 1.
#include <gtest/gtest.h>
#include <unistd.h>

#include "support/TestDatabase.h"
#include "tools/ToolRunner.h"

namespace kestal::test {
namespace {

class SqlCheckTest : public ::testing::TestWithParam<Engine> {};

TEST_P(SqlCheckTest, EveryStepPassesAndTheScratchTablesGo) {
  auto db = TestDatabase::Create(GetParam());
  TempDir cwd;
  const ToolResult r = RunKestal({"sql", "check", db->ConnectionString(), "--table", "kcheck"}, "",
                                 "C.UTF-8", -1, cwd.path());
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  for (const char* step :
       {"schema mapping", "numbered insert", "batch and bulk load", "window follow across a gap",
        "identity reseed", "reconnection", "drop scratch tables"}) {
    EXPECT_NE(r.out.find(std::string(step)), std::string::npos) << step << "\n" << r.out;
  }
  EXPECT_EQ(r.out.find("FAIL"), std::string::npos) << r.out;
  const std::string catalog = Backend(GetParam()) == Engine::kSqlite
                                  ? "select count(*) from sqlite_schema where name like 'kcheck%'"
                                  : "select count(*) from pg_class where relname like 'kcheck%'";
  EXPECT_EQ(db->Scalar(catalog), "0");
  EXPECT_EQ(access((cwd.path() + "/log").c_str(), F_OK), -1) << "log/ left behind";
}

INSTANTIATE_TEST_SUITE_P(Engines, SqlCheckTest, ::testing::ValuesIn(kAllEngines),
                         [](const auto& info) { return std::string(EngineLabel(info.param)); });

TEST(SqlCheckFailureTest, UnreachableServerFailsWithStatusOne) {
  TempDir dir;
  const ToolResult r =
      RunKestal({"sql", "check", "Provider=SQLite;Data Source=" + dir.File("absent.db")});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("schema mapping"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("cannot connect"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("step(s) failed"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace kestal::test
