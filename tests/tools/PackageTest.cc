// The installed package: "cmake --install" of this build tree into a scratch
// prefix, then the example host program (examples/) configured with
// find_package(Kestal) against it, built, and run on a small table file and
// SQLite database. Also the installed tool and the pkg-config file.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "support/TestDatabase.h"
#include "tools/ToolRunner.h"
#include "tools/ToolTestUtil.h"

namespace kestal::test {
namespace {

struct ShellResult {
  int status = -1;
  std::string out;  // stdout and stderr
};

// Runs command with /bin/sh and collects its output.
ShellResult Shell(const std::string& command) {
  ShellResult r;
  FILE* p = popen((command + " 2>&1").c_str(), "r");
  if (p == nullptr) return r;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  const int status = pclose(p);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

// A value of the build tree's CMakeCache.txt, or "".
std::string CacheValue(const std::string& build, const std::string& key) {
  const std::string cache = ReadFile(build + "/CMakeCache.txt");
  const size_t at = cache.find("\n" + key + ":");
  if (at == std::string::npos) return std::string();
  const size_t eq = cache.find('=', at);
  return cache.substr(eq + 1, cache.find('\n', eq) - eq - 1);
}

std::string Quoted(const std::string& s) {
  return "'" + s + "'";
}

TEST(PackageTest, ExampleBuildsAgainstTheInstalledPackageAndRuns) {
  const std::string build = KestalPath().substr(0, KestalPath().rfind('/'));
  const std::string source = CacheValue(build, "CMAKE_HOME_DIRECTORY");
  ASSERT_FALSE(source.empty());
  TempDir dir;
  const std::string prefix = dir.File("prefix");

  ShellResult r = Shell("cmake --install " + Quoted(build) + " --prefix " + Quoted(prefix));
  ASSERT_EQ(r.status, 0) << r.out;
  // The installed tool runs from its prefix alone.
  r = Shell(Quoted(prefix + "/bin/kestal") + " --help");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("bridge"), std::string::npos);
  r = Shell("pkg-config --cflags --libs " + Quoted(prefix + "/lib/pkgconfig/kestal.pc"));
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("-I" + prefix + "/lib/pkgconfig/../../include/kestal"), std::string::npos)
      << r.out;

  const std::string example = dir.File("example");
  r = Shell("cmake -S " + Quoted(source + "/examples") + " -B " + Quoted(example) +
            " -DCMAKE_PREFIX_PATH=" + Quoted(prefix) + " -DCMAKE_BUILD_TYPE=Release" +
            // A sanitizer build of the library wants its host built the same way.
            (CacheValue(build, "KESTAL_SANITIZE") == "ON"
                 ? " '-DCMAKE_CXX_FLAGS=-fsanitize=address,undefined'"
                   " '-DCMAKE_EXE_LINKER_FLAGS=-fsanitize=address,undefined'"
                 : ""));
  ASSERT_EQ(r.status, 0) << r.out;
  r = Shell("cmake --build " + Quoted(example));
  ASSERT_EQ(r.status, 0) << r.out;

  const std::string dbf = dir.File("orders.dbf");
  CreateTable(dbf, "REC_NUM:N:4,STOCK:C:6");
  ASSERT_EQ(RunKestal({"dbf", "append", dbf, "--numbered"}, ",600000\n,买入\n,600099\n").status, 0);
  auto db = TestDatabase::Create(Engine::kSqlite);
  db->Exec("create table orders (rec_num int, stock varchar(6))");
  db->Exec("insert into orders values (1, '000001'), (2, '卖出'), (3, '000003')");
  r = Shell("timeout 20 " + Quoted(example + "/follow") + " " + Quoted(dbf) + " " +
            Quoted(db->ConnectionString()) + " orders 2");
  EXPECT_EQ(r.status, 0) << r.out;
  // GBK text printed in UTF-8; COUNT is the number of records of each.
  EXPECT_EQ(r.out,
            "file  1:    1 600000\nfile  2:    2 买入  \ntable 1: 1 000001\ntable 2: 2 卖出\n");

  r = Shell(Quoted(example + "/follow") + " " + Quoted(dir.File("none.dbf")) + " x y");
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("cannot open"), std::string::npos) << r.out;
}

}  // namespace
}  // namespace kestal::test
