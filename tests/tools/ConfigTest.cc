// kestal bridge and kestal sql follow from a TOML configuration file: flags
// over file over defaults, every refusal of a bad file (naming file, line and
// key), secrets in files others may read, several bridges in one process
// (each arriving exactly once, one failing for good while the others go on),
// and --version on every command.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>

#include "support/TestDatabase.h"
#include "tools/BridgeTestUtil.h"
#include "tools/DbfFileTestUtil.h"
#include "tools/ToolRunner.h"
#include "tools/ToolTestUtil.h"

namespace kestal::test {
namespace {

// Skips the test when this kestal was built without TOML support.
#define SKIP_WITHOUT_TOML()                                              \
  do {                                                                   \
    if (!TomlBuilt()) GTEST_SKIP() << "kestal was built without toml++"; \
  } while (0)

bool TomlBuilt() {
  const ToolResult r = RunKestal({"bridge", "--config", "/nonexistent/kestal.toml"});
  return r.err.find("without TOML support") == std::string::npos;
}

// Writes text to path with mode; returns path.
std::string WriteConfig(const std::string& path, const std::string& text, mode_t mode = 0600) {
  std::ofstream(path) << text;
  EXPECT_EQ(chmod(path.c_str(), mode), 0);
  return path;
}

// A TOML basic string of text.
std::string Toml(const std::string& text) {
  std::string out = "\"";
  for (char c : text) out += c == '"' || c == '\\' ? std::string("\\") + c : std::string(1, c);
  return out + "\"";
}

void Append(const std::string& dbf, const std::string& csv) {
  const ToolResult r = RunKestal({"dbf", "append", dbf, "--numbered"}, csv);
  ASSERT_EQ(r.status, 0) << r.err;
}

// The keys of one bridge of t.
std::string BridgeKeys(const OrderTables& t) {
  return "file = " + Toml(t.dbf) + "\nconnect = " + Toml(t.conn) + "\ntable = \"orders\"\n";
}

bool Exists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

// Runs a bridge from config (plus extra flags) until orders holds n rows,
// stops it with SIGTERM and returns its stderr.
std::string BridgeUntil(OrderTables& t, const std::string& config, long n,
                        const std::vector<std::string>& extra = {}) {
  std::vector<std::string> args = {"bridge", "--config", config};
  args.insert(args.end(), extra.begin(), extra.end());
  RunningTool bridge(args, "C.UTF-8", t.dir.path(), true);
  EXPECT_TRUE(WaitForOrderRows(*t.db, n, 20000)) << OrderCount(*t.db);
  EXPECT_EQ(bridge.Stop(SIGTERM), 0) << bridge.err();
  return bridge.err();
}

TEST(ConfigTest, FileGivesArgumentsAndOptionsFlagsWin) {
  SKIP_WITHOUT_TOML();
  // mode 2 writes log/OrderTemp_<load-name>.txt: the name tells which
  // value the bridge took.
  struct Case {
    const char* keys;
    std::vector<std::string> flags;
    const char* load_file;  // the bulk-load file the run must leave
  };
  const Case cases[] = {
      {"mode = 2\n", {}, "OrderTemp_WTK.txt"},                         // default
      {"mode = 2\nload-name = \"FILE\"\n", {}, "OrderTemp_FILE.txt"},  // file
      {"mode = 2\nload-name = \"FILE\"\n", {"--load-name", "FLAG"}, "OrderTemp_FLAG.txt"},
      // A bad value in the file is never read when a flag replaces it.
      {"mode = 2\nbatch = 900\n", {"--batch", "5"}, "OrderTemp_WTK.txt"},
      // The old spelling given as a flag still wins over the file's key.
      {"mode = 2\nload-name = \"FILE\"\n", {"--tag", "OLD"}, "OrderTemp_OLD.txt"},
  };
  for (const Case& c : cases) {
    OrderTables t(Engine::kSqlite);
    Append(t.dbf, Orders(1, 12));
    const std::string config =
        WriteConfig(t.dir.File("k.toml"), BridgeKeys(t) + "interval = 5\n" + c.keys);
    BridgeUntil(t, config, 12, c.flags);
    ExpectOrdersExactlyOnce(*t.db, 12);
    EXPECT_TRUE(Exists(t.dir.File(std::string("log/") + c.load_file))) << c.keys;
  }
}

TEST(ConfigTest, PositionalArgumentsOnTheCommandLineReplaceTheFiles) {
  SKIP_WITHOUT_TOML();
  OrderTables t(Engine::kSqlite);
  Append(t.dbf, Orders(1, 5));
  const std::string config =
      WriteConfig(t.dir.File("k.toml"),
                  "file = \"/nonexistent.dbf\"\nconnect = \"Provider=SQLite;Data "
                  "Source=/nonexistent.db\"\ntable = \"nosuch\"\ninterval = 5\n");
  RunningTool bridge({"bridge", t.dbf, t.conn, "orders", "--config", config}, "C.UTF-8",
                     t.dir.path(), true);
  ASSERT_TRUE(WaitForOrderRows(*t.db, 5, 20000));
  EXPECT_EQ(bridge.Stop(SIGTERM), 0) << bridge.err();
  ExpectOrdersExactlyOnce(*t.db, 5);
}

TEST(ConfigTest, BadFilesAreRefusedNamingFileLineAndKey) {
  SKIP_WITHOUT_TOML();
  OrderTables t(Engine::kSqlite);
  Append(t.dbf, Orders(1, 3));
  const std::string path = t.dir.File("k.toml");
  struct Case {
    std::string text;
    int status;
    std::string message;
  };
  const std::string keys = BridgeKeys(t);  // lines 1 to 3
  const Case cases[] = {
      {keys + "btach = 5\n", 2, path + ":4: unknown key 'btach'"},
      {keys + "batch = 900\n", 2,
       path + ":4: key 'batch': option '--batch' wants a whole number from 1 to 500, not '900'"},
      {keys + "mode = \"two\"\n", 2, path + ":4: key 'mode': option '--mode' wants"},
      {keys + "keep-padding = \"yes\"\n", 2, path + ":4: key 'keep-padding' wants true or false"},
      {keys + "mode = true\n", 2, path + ":4: key 'mode' wants a value (text or number)"},
      {keys + "batch = [1, 2]\n", 2, path + ":4: key 'batch' wants a value (text or number)"},
      {keys + "batch = 2026-12-07\n", 2, path + ":4: key 'batch' wants text, a number"},
      {keys + "[extra]\nx = 1\n", 2, path + ":4: key 'extra' wants text, a number"},
      {keys + "config = \"other.toml\"\n", 2, path + ":4: unknown key 'config'"},
      {keys + "batch = \n", 2, path + ":4: not a TOML file: "},
      {"file = " + Toml(t.dbf) + "\ntable = \"orders\"\n", 2, path + ": no key 'connect'"},
      {"file = 5\n" + keys.substr(keys.find('\n') + 1), 2, path + ":1: key 'file' wants text"},
      {keys + "[bridge]\n", 2, path + ":4: 'bridge' wants tables [bridge.NAME]"},
      {keys + "[bridge.a]\nbtach = 1\n", 2, path + ":5: bridge 'a': unknown key 'btach'"},
  };
  for (const Case& c : cases) {
    WriteConfig(path, c.text);
    const ToolResult r = RunKestal({"bridge", "--config", path}, "", "C.UTF-8", -1, t.dir.path());
    EXPECT_EQ(r.status, c.status) << c.text << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << c.text << "\n" << r.err;
    EXPECT_EQ(OrderCount(*t.db), 0) << c.text;
  }
}

TEST(ConfigTest, UnreadableFilesAreRefusedWithTheReason) {
  SKIP_WITHOUT_TOML();
  TempDir dir;
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string message;
  };
  const Case cases[] = {
      {{"--config", dir.File("none.toml")},
       1,
       "cannot open the configuration file '" + dir.File("none.toml") +
           "': No such file or directory"},
      {{"--config", dir.path()},
       1,
       "cannot read the configuration file '" + dir.path() + "': not a regular file"},
      {{"--config"}, 2, "option '--config' needs a value"},
      {{"--config="}, 2, "option '--config' wants a file name"},
      {{"--config", "a", "--config", "b"}, 2, "option '--config' is given twice"},
  };
  for (const Case& c : cases) {
    for (const char* command : {"bridge", "sql follow"}) {
      std::vector<std::string> args = std::string(command) == "bridge"
                                          ? std::vector<std::string>{"bridge"}
                                          : std::vector<std::string>{"sql", "follow"};
      args.insert(args.end(), c.args.begin(), c.args.end());
      const ToolResult r = RunKestal(args);
      EXPECT_EQ(r.status, c.status) << command << " " << c.message << r.err;
      EXPECT_NE(r.err.find(c.message), std::string::npos) << command << "\n" << r.err;
    }
  }
}

TEST(ConfigTest, PasswordInAFileOthersCanReadIsRefused) {
  SKIP_WITHOUT_TOML();
  OrderTables t(Engine::kSqlite);
  Append(t.dbf, Orders(1, 4));
  const std::string path = t.dir.File("k.toml");
  const std::string with_key = BridgeKeys(t) + "password = \"Sw0rdfish-77\"\n";
  const std::string in_string = "file = " + Toml(t.dbf) +
                                "\nconnect = " + Toml(t.conn + ";Password=Sw0rdfish-77") +
                                "\ntable = \"orders\"\n";
  for (const std::string& text : {with_key, in_string}) {
    for (mode_t mode : {0640, 0604, 0644, 0620, 0602}) {
      WriteConfig(path, text, mode);
      const ToolResult r = RunKestal({"bridge", "--config", path}, "", "C.UTF-8", -1, t.dir.path());
      char octal[8];
      snprintf(octal, sizeof octal, "%04o", mode);
      EXPECT_EQ(r.status, 1) << r.err;
      EXPECT_NE(r.err.find("the configuration file '" + path + "' holds a password but its mode " +
                           octal + " lets others read or change it"),
                std::string::npos)
          << r.err;
      EXPECT_EQ(r.err.find("Sw0rdfish"), std::string::npos) << r.err;
    }
  }
  // Without a password the file may be read by anyone.
  WriteConfig(path, BridgeKeys(t) + "interval = 5\n", 0644);
  BridgeUntil(t, path, 4);
  ExpectOrdersExactlyOnce(*t.db, 4);
  // Both a password key and one in the string: which one is meant?
  WriteConfig(path, in_string + "password = \"other\"\n", 0600);
  const ToolResult both = RunKestal({"bridge", "--config", path});
  EXPECT_EQ(both.status, 2);
  EXPECT_NE(both.err.find(path + ":4: key 'password' and a password in 'connect': keep only one"),
            std::string::npos)
      << both.err;
}

// --- sql follow ------------------------------------------------------------

TEST(ConfigTest, FollowTakesItsOptionsFromTheFile) {
  SKIP_WITHOUT_TOML();
  auto db = TestDatabase::Create(Engine::kSqlite);
  db->Exec(kOrderTableSql);
  for (int i = 1; i <= 9; ++i) {
    db->Exec("insert into orders values (" + std::to_string(i) + ", '60000" + std::to_string(i) +
             "', 'B', " + std::to_string(i * 100) + ", 'n" + std::to_string(i) + "')");
  }
  TempDir dir;
  const std::string path =
      WriteConfig(dir.File("f.toml"), "connect = " + Toml(db->ConnectionString()) +
                                          "\ntable = \"orders\"\nafter = 5\n"
                                          "interval = 10\n");
  struct Case {
    std::vector<std::string> flags;
    const char* first;  // the first row delivered
    size_t rows;
  };
  const Case cases[] = {{{}, "6,600006,B,600,n6\n", 4},
                        {{"--after", "7"}, "8,600008,B,800,n8\n", 2}};
  for (const Case& c : cases) {
    std::vector<std::string> args = {"sql", "follow", "--config", path};
    args.insert(args.end(), c.flags.begin(), c.flags.end());
    RunningTool follow(args, "C.UTF-8", "", true);
    const std::string out = follow.ReadLines(1 + c.rows, 10000);
    EXPECT_EQ(follow.Stop(SIGTERM), 0) << follow.err();
    const size_t header_end = out.find('\n');
    ASSERT_NE(header_end, std::string::npos) << out;
    EXPECT_EQ(out.compare(header_end + 1, strlen(c.first), c.first), 0) << out;
    EXPECT_NE(follow.err().find("last key delivered: 9"), std::string::npos) << follow.err();
  }
  // A follower has no named tables.
  WriteConfig(path, "[bridge.a]\nconnect = \"x\"\n");
  const ToolResult r = RunKestal({"sql", "follow", "--config", path});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find(path + ":1: key 'bridge' wants text"), std::string::npos) << r.err;
}

// --- several bridges in one process -----------------------------------------

TEST(ConfigTest, TwoBridgesFromOneFileEachArriveExactlyOnce) {
  SKIP_WITHOUT_TOML();
  OrderTables a(Engine::kSqlite);
  OrderTables b(Engine::kSqlite);
  Append(a.dbf, Orders(1, 40));
  Append(b.dbf, Orders(1, 25));
  // Top-level keys are every bridge's defaults; a bridge's own key wins.
  const std::string config = WriteConfig(a.dir.File("k.toml"),
                                         "interval = 5\nbatch = 7\ntable = \"orders\"\n"
                                         "[bridge.alpha]\nfile = " +
                                             Toml(a.dbf) + "\nconnect = " + Toml(a.conn) +
                                             "\n[bridge.beta]\nfile = " + Toml(b.dbf) +
                                             "\nconnect = " + Toml(b.conn) + "\nbatch = 3\n");
  RunningTool bridge({"bridge", "--config", config}, "C.UTF-8", a.dir.path(), true);
  ASSERT_TRUE(WaitForOrderRows(*a.db, 40, 20000));
  ASSERT_TRUE(WaitForOrderRows(*b.db, 25, 20000));
  Append(a.dbf, Orders(41, 10));
  Append(b.dbf, Orders(26, 10));
  ASSERT_TRUE(WaitForOrderRows(*a.db, 50, 20000));
  ASSERT_TRUE(WaitForOrderRows(*b.db, 35, 20000));
  EXPECT_EQ(bridge.Stop(SIGTERM), 0) << bridge.err();
  ExpectOrdersExactlyOnce(*a.db, 50);
  ExpectOrdersExactlyOnce(*b.db, 35);
  EXPECT_NE(bridge.err().find("kestal bridge alpha: stopped; 50 records copied in this run"),
            std::string::npos)
      << bridge.err();
  EXPECT_NE(bridge.err().find("kestal bridge beta: stopped; 35 records copied in this run"),
            std::string::npos)
      << bridge.err();
}

TEST(ConfigTest, OneBridgeFailingForGoodLeavesTheOtherRunning) {
  SKIP_WITHOUT_TOML();
  OrderTables good(Engine::kSqlite);
  // "order 1" does not fit varchar(3): that bridge stops for good at once.
  OrderTables bad(Engine::kSqlite,
                  "create table orders (rec_num int, stock varchar(6), bs char(1), qty int, "
                  "note varchar(3))");
  Append(good.dbf, Orders(1, 10));
  Append(bad.dbf, Orders(1, 10));
  const std::string config =
      WriteConfig(good.dir.File("k.toml"),
                  "interval = 5\ntable = \"orders\"\n[bridge.good]\nfile = " + Toml(good.dbf) +
                      "\nconnect = " + Toml(good.conn) + "\n[bridge.bad]\nfile = " + Toml(bad.dbf) +
                      "\nconnect = " + Toml(bad.conn) + "\n");
  RunningTool bridge({"bridge", "--config", config}, "C.UTF-8", good.dir.path(), true);
  ASSERT_TRUE(WaitForOrderRows(*good.db, 10, 20000));
  const long long start = NowMs();
  while (bridge.err().find("stopped for good") == std::string::npos && NowMs() - start < 20000) {
    bridge.DrainErr();
    usleep(50000);
  }
  EXPECT_NE(bridge.err().find("kestal bridge bad: stopped for good; the other bridges go on"),
            std::string::npos)
      << bridge.err();
  // The good one still copies what comes after the other's failure.
  Append(good.dbf, Orders(11, 15));
  ASSERT_TRUE(WaitForOrderRows(*good.db, 25, 20000));
  EXPECT_EQ(bridge.Stop(SIGTERM), 1) << bridge.err();
  ExpectOrdersExactlyOnce(*good.db, 25);
  EXPECT_EQ(OrderCount(*bad.db), 0);
  EXPECT_NE(bridge.err().find("kestal bridge: the bridges that failed for good: bad"),
            std::string::npos)
      << bridge.err();
}

// Bridges of one process read their files' text in one code page, fixed by
// the first file opened: files naming the same one all run, and a file naming
// another is refused by name while the rest go on. Both files hold one record
// whose note reads differently in each code page.
struct CodepagePair {
  const char* label;
  unsigned char driver_a, driver_b;
  std::string note_a, note_b;
  std::string stored_a, stored_b;  // as the database holds them (UTF-8)
  bool both_run;
};

class ConfigCodepageTest : public ::testing::TestWithParam<CodepagePair> {};

TEST_P(ConfigCodepageTest, BridgesShareTheFirstFilesCodePage) {
  SKIP_WITHOUT_TOML();
  const CodepagePair& c = GetParam();
  OrderTables a(Engine::kSqlite);
  OrderTables b(Engine::kSqlite);
  WriteFile(a.dbf, RawDbfBytes(RawOrders(c.driver_a, {c.note_a})));
  WriteFile(b.dbf, RawDbfBytes(RawOrders(c.driver_b, {c.note_b})));
  const std::string config =
      WriteConfig(a.dir.File("k.toml"),
                  "interval = 5\ntable = \"orders\"\n[bridge.a]\nfile = " + Toml(a.dbf) +
                      "\nconnect = " + Toml(a.conn) + "\n[bridge.b]\nfile = " + Toml(b.dbf) +
                      "\nconnect = " + Toml(b.conn) + "\n");
  RunningTool bridge({"bridge", "--config", config}, "C.UTF-8", a.dir.path(), true);
  const long long end = NowMs() + 20000;
  auto settled = [&] {
    bridge.DrainErr();
    const int copied = (OrderCount(*a.db) == 1) + (OrderCount(*b.db) == 1);
    const bool refused = bridge.err().find("stopped for good") != std::string::npos;
    return c.both_run ? copied == 2 : copied == 1 && refused;
  };
  while (!settled() && NowMs() < end) usleep(50000);
  EXPECT_EQ(bridge.Stop(SIGTERM), c.both_run ? 0 : 1) << bridge.err();
  const bool a_ran = OrderCount(*a.db) == 1, b_ran = OrderCount(*b.db) == 1;
  if (a_ran) {
    EXPECT_EQ(a.db->Scalar("select note from orders"), c.stored_a);
  }
  if (b_ran) {
    EXPECT_EQ(b.db->Scalar("select note from orders"), c.stored_b);
  }
  if (c.both_run) {
    EXPECT_TRUE(a_ran && b_ran) << bridge.err();
    return;
  }
  ASSERT_NE(a_ran, b_ran) << "exactly one code page may win\n" << bridge.err();
  const std::string refused = a_ran ? b.dbf : a.dbf;
  EXPECT_NE(bridge.err().find("table file '" + refused + "' names code page " +
                              (a_ran ? "CP1251" : "CP1252") +
                              " in its header, but this process already reads text as " +
                              (a_ran ? "CP1252" : "CP1251")),
            std::string::npos)
      << bridge.err();
}

INSTANTIATE_TEST_SUITE_P(Files, ConfigCodepageTest,
                         ::testing::Values(CodepagePair{"BothGbk", 0x4D, 0x7A, "\xC2\xF4\xB3\xF6",
                                                        "\xC2\xF4\xB3\xF6", "卖出", "卖出", true},
                                           CodepagePair{"AnsiAndCyrillic", 0x57, 0xC9, "caf\xE9",
                                                        "\xCF\xF0\xE8", "café", "При", false}),
                         [](const auto& info) { return std::string(info.param.label); });

TEST(ConfigTest, EveryBridgeIsCheckedBeforeAnyStarts) {
  SKIP_WITHOUT_TOML();
  OrderTables a(Engine::kSqlite);
  Append(a.dbf, Orders(1, 5));
  const std::string path = WriteConfig(
      a.dir.File("k.toml"),
      "table = \"orders\"\n[bridge.a]\nfile = " + Toml(a.dbf) + "\nconnect = " + Toml(a.conn) +
          "\n[bridge.b]\nfile = " + Toml(a.dbf) + "\nconnect = " + Toml(a.conn) + "\nmode = 9\n");
  const ToolResult r = RunKestal({"bridge", "--config", path}, "", "C.UTF-8", -1, a.dir.path());
  EXPECT_EQ(r.status, 2) << r.err;
  EXPECT_NE(r.err.find(path + ":8: bridge 'b': key 'mode': option '--mode' wants"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(OrderCount(*a.db), 0);
  // Arguments on the command line cannot serve several bridges.
  const ToolResult args = RunKestal({"bridge", a.dbf, a.conn, "orders", "--config", path}, "",
                                    "C.UTF-8", -1, a.dir.path());
  EXPECT_EQ(args.status, 2) << args.err;
  EXPECT_NE(args.err.find("give them in each [bridge.NAME]"), std::string::npos) << args.err;
  EXPECT_EQ(OrderCount(*a.db), 0);
}

TEST(ConfigTest, TwoBridgesIntoOneTableOnlyOneRuns) {
  SKIP_WITHOUT_TOML();
  OrderTables t(Engine::kSqlite);
  Append(t.dbf, Orders(1, 20));
  const std::string path = WriteConfig(
      t.dir.File("k.toml"), "interval = 5\nfile = " + Toml(t.dbf) + "\nconnect = " + Toml(t.conn) +
                                "\ntable = \"orders\"\n[bridge.one]\n[bridge.two]\n");
  RunningTool bridge({"bridge", "--config", path}, "C.UTF-8", t.dir.path(), true);
  ASSERT_TRUE(WaitForOrderRows(*t.db, 20, 20000));
  const long long start = NowMs();
  while (bridge.err().find("another bridge") == std::string::npos && NowMs() - start < 10000) {
    bridge.DrainErr();
    usleep(50000);
  }
  EXPECT_EQ(bridge.Stop(SIGTERM), 3) << bridge.err();
  EXPECT_NE(bridge.err().find(": another bridge is copying into orders"), std::string::npos)
      << bridge.err();
  ExpectOrdersExactlyOnce(*t.db, 20);
}

// --- --version ---------------------------------------------------------------

TEST(VersionTest, EveryCommandPrintsTheVersion) {
  const std::vector<std::vector<std::string>> commands = {
      {"--version"},
      {"dbf", "--version"},
      {"dbf", "info", "--version"},
      {"dbf", "cat", "/nonexistent.dbf", "--version"},
      {"dbf", "follow", "--version"},
      {"dbf", "append", "--version"},
      {"dbf", "create", "--version"},
      {"sql", "--version"},
      {"sql", "info", "--version"},
      {"sql", "follow", "--version", "--config", "/nonexistent.toml"},
      {"sql", "exec", "--version"},
      {"sql", "check", "--version"},
      {"bridge", "--version"},
      {"bridge", "--mode", "7", "--version"},
      {"demo", "--version"},
  };
  const ToolResult first = RunKestal({"--version"});
  ASSERT_EQ(first.out.rfind("kestal ", 0), 0u) << first.out;
  ASSERT_EQ(first.out.back(), '\n');
  // X.Y.Z
  const std::string version = first.out.substr(7, first.out.size() - 8);
  EXPECT_EQ(std::count(version.begin(), version.end(), '.'), 2) << version;
  for (const auto& args : commands) {
    const ToolResult r = RunKestal(args);
    EXPECT_EQ(r.status, 0) << args[0] << r.err;
    EXPECT_EQ(r.out, first.out) << args[0];
    EXPECT_EQ(r.err, "") << args[0];
  }
  // After "--" it is an argument like any other.
  EXPECT_NE(RunKestal({"dbf", "info", "--", "--version"}).status, 0);
}

}  // namespace
}  // namespace kestal::test
