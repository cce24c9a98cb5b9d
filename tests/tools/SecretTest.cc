// The database password never shows, whatever fails: a role on the test
// PostgreSQL server that must give a real password (scram-sha-256 for that
// role alone), reached through KESTAL_PASSWORD, a "Password File" and a
// configuration file; every run's stdout and stderr are searched for it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "support/TestDatabase.h"
#include "tools/BridgeTestUtil.h"
#include "tools/ToolRunner.h"
#include "tools/ToolTestUtil.h"

namespace kestal::test {
namespace {

const char kRole[] = "kestal_secret";
const char kPassword[] = "Vq8-zebra-Orchid-41";  // the right one
const char kWrong[] = "Tx3-wrong-Heron-97";      // one the server refuses

// Makes the server ask kRole for its password: the role, and a pg_hba.conf
// line for it ahead of the cluster's trust lines (written in place, under a
// lock, once for every test process on the cluster).
void RequirePassword(TestDatabase& db) {
  const char* data = getenv("KESTAL_PG_DATA");
  ASSERT_NE(data, nullptr) << "KESTAL_PG_DATA is not set";
  const std::string hba = std::string(data) + "/pg_hba.conf";
  const std::string line = std::string("host all ") + kRole + " 127.0.0.1/32 scram-sha-256\n";
  const int fd = open(hba.c_str(), O_RDWR);
  ASSERT_GE(fd, 0) << hba;
  ASSERT_EQ(flock(fd, LOCK_EX), 0);
  std::ifstream in(hba);
  std::stringstream text;
  text << in.rdbuf();
  if (text.str().find(line) == std::string::npos) {
    const std::string all = line + text.str();
    ASSERT_EQ(ftruncate(fd, 0), 0);
    ASSERT_EQ(pwrite(fd, all.data(), all.size(), 0), static_cast<ssize_t>(all.size()));
  }
  try {
    db.Exec(std::string("create role ") + kRole + " login password '" + kPassword + "'");
  } catch (const std::exception&) {
    // Another test made it first; the password is the same.
  }
  flock(fd, LOCK_UN);
  close(fd);
  db.Scalar("select pg_reload_conf()");
  db.Exec(std::string("grant all on orders to ") + kRole);
  usleep(200000);  // the postmaster rereads the file
}

// conn with the value of its user key (key, such as "User ID=") replaced by
// kRole.
std::string AsRole(const std::string& conn, const std::string& key = "User ID=") {
  const size_t at = conn.find(key);
  const size_t end = conn.find(';', at);
  return conn.substr(0, at) + key + kRole + (end == std::string::npos ? "" : conn.substr(end));
}

// t's connection string as kRole, without a password.
std::string AsRole(const OrderTables& t) {
  return AsRole(t.conn);
}

void ExpectNoSecret(const ToolResult& r, const std::string& what) {
  for (const char* secret : {kPassword, kWrong}) {
    EXPECT_EQ(r.out.find(secret), std::string::npos) << what << ": " << r.out;
    EXPECT_EQ(r.err.find(secret), std::string::npos) << what << ": " << r.err;
  }
}

void Append(const std::string& dbf, const std::string& csv) {
  const ToolResult r = RunKestal({"dbf", "append", dbf, "--numbered"}, csv);
  ASSERT_EQ(r.status, 0) << r.err;
}

std::string WriteFile(const std::string& path, const std::string& text, mode_t mode) {
  std::ofstream(path) << text;
  EXPECT_EQ(chmod(path.c_str(), mode), 0);
  return path;
}

class SecretTest : public ::testing::Test {
 protected:
  void SetUp() override {
    unsetenv("KESTAL_PASSWORD");
    t_ = std::make_unique<OrderTables>(Engine::kPostgres);
    RequirePassword(*t_->db);
    role_ = AsRole(*t_);
    Append(t_->dbf, Orders(1, 20));
  }
  void TearDown() override { unsetenv("KESTAL_PASSWORD"); }

  // Runs the bridge until the table holds n rows; stops it with SIGTERM.
  ToolResult BridgeUntil(const std::vector<std::string>& args, long n) {
    RunningTool bridge(args, "C.UTF-8", t_->dir.path(), true);
    EXPECT_TRUE(WaitForOrderRows(*t_->db, n, 20000)) << OrderCount(*t_->db);
    ToolResult r;
    r.status = bridge.Stop(SIGTERM);
    r.out = bridge.out();
    r.err = bridge.err();
    return r;
  }

  std::unique_ptr<OrderTables> t_;
  std::string role_;
};

TEST_F(SecretTest, EveryPasswordSourceConnects) {
  // KESTAL_PASSWORD.
  setenv("KESTAL_PASSWORD", kPassword, 1);
  ToolResult r = BridgeUntil({"bridge", t_->dbf, role_, "orders", "--interval", "5"}, 20);
  EXPECT_EQ(r.status, 0) << r.err;
  ExpectNoSecret(r, "environment");
  unsetenv("KESTAL_PASSWORD");
  // A password file, read again by the restart.
  const std::string pw = WriteFile(t_->dir.File("pw"), std::string(kPassword) + "\n", 0600);
  Append(t_->dbf, Orders(21, 5));
  r = BridgeUntil({"bridge", t_->dbf, role_ + ";Password File=" + pw, "orders", "--interval", "5"},
                  25);
  EXPECT_EQ(r.status, 0) << r.err;
  ExpectNoSecret(r, "password file");
  // sql follow from a configuration file holding the password.
  const std::string config = WriteFile(
      t_->dir.File("f.toml"),
      "connect = \"" + role_ + "\"\ntable = \"orders\"\npassword = \"" + kPassword + "\"\n", 0600);
  RunningTool follow({"sql", "follow", "--config", config}, "C.UTF-8", "", true);
  const std::string out = follow.ReadLines(26, 10000);
  EXPECT_EQ(follow.Stop(SIGTERM), 0) << follow.err();
  EXPECT_NE(out.find("25,"), std::string::npos) << out;
  ExpectNoSecret({0, follow.out(), follow.err()}, "follow");
  ExpectOrdersExactlyOnce(*t_->db, 25);
}

TEST_F(SecretTest, NothingThatFailsShowsThePassword) {
  const std::string pw_file = WriteFile(t_->dir.File("pw"), std::string(kPassword) + "\n", 0644);
  const std::string wrong_file = WriteFile(t_->dir.File("wrong"), kWrong, 0600);
  const std::string bad_host = "Provider=PostgreSQL;Server=nosuch.invalid;Database=x;User ID=u";
  struct Case {
    const char* what;
    std::vector<std::string> args;
    int status;
    const char* message;
  };
  const Case cases[] = {
      {"wrong password in the string",
       {"bridge", t_->dbf, role_ + ";Password=" + kWrong, "orders"},
       1,
       "password authentication failed"},
      {"wrong password from a file",
       {"bridge", t_->dbf, role_ + ";Password File=" + wrong_file, "orders"},
       1,
       "password authentication failed"},
      {"password file every user may read",
       {"bridge", t_->dbf, role_ + ";Password File=" + pw_file, "orders"},
       1,
       "can be read by every user (mode 0644)"},
      {"unknown host",
       {"bridge", t_->dbf, bad_host + ";Password=" + kPassword, "orders"},
       1,
       "nosuch.invalid"},
      {"unknown table",
       {"bridge", t_->dbf, role_ + ";Password=" + kPassword, "nosuch"},
       1,
       "no table 'nosuch'"},
      {"missing file",
       {"bridge", t_->dir.File("none.dbf"), role_ + ";Password=" + kPassword, "orders"},
       1,
       "none.dbf"},
      {"password with an unquoted ';'",
       {"bridge", t_->dbf, role_ + ";Password=ab;" + kPassword, "orders"},
       2,
       "the value of 'Password' holds ';'; put the value in double quotes"},
      {"password with an unquoted ';' and '='",
       {"bridge", t_->dbf, role_ + ";Password=ab;" + std::string(kPassword) + "=x", "orders"},
       2,
       "unknown key after the password"},
      {"libpq conninfo",
       {"bridge", t_->dbf, std::string("host=127.0.0.1 password=") + kPassword + " dbname=x",
        "orders"},
       2,
       "password=***"},
      {"libpq URI",
       {"sql", "follow", std::string("postgresql://u:") + kPassword + "@127.0.0.1/x", "orders"},
       2,
       "postgresql://u:***@"},
      {"sql info, wrong password",
       {"sql", "info", role_ + ";PWD=" + kWrong, "orders"},
       1,
       "password authentication failed"},
      {"sql exec, wrong password",
       {"sql", "exec", role_ + ";Password=" + kWrong, "select 1"},
       1,
       "password authentication failed"},
  };
  for (const Case& c : cases) {
    const ToolResult r = RunKestal(c.args, "", "C.UTF-8", -1, t_->dir.path());
    EXPECT_EQ(r.status, c.status) << c.what << ": " << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << c.what << ": " << r.err;
    ExpectNoSecret(r, c.what);
  }
  EXPECT_EQ(OrderCount(*t_->db), 0);
}

TEST_F(SecretTest, StoppedOrLostMidRunTheBridgeShowsNoPassword) {
  const std::string config =
      WriteFile(t_->dir.File("k.toml"),
                "interval = 5\nbatch = 4\n[bridge.one]\nfile = \"" + t_->dbf + "\"\nconnect = \"" +
                    role_ + "\"\ntable = \"orders\"\npassword = \"" + kPassword + "\"\n",
                0600);
  RunningTool bridge({"bridge", "--config", config}, "C.UTF-8", t_->dir.path(), true);
  ASSERT_TRUE(WaitForOrderRows(*t_->db, 20, 20000));
  // The server ends the bridge's sessions: it reconnects (reading the
  // password again) and goes on.
  t_->db->Scalar(std::string("select count(pg_terminate_backend(pid)) from pg_stat_activity "
                             "where usename = '") +
                 kRole + "'");
  Append(t_->dbf, Orders(21, 10));
  ASSERT_TRUE(WaitForOrderRows(*t_->db, 30, 30000));
  ToolResult r;
  r.status = bridge.Stop(SIGTERM);
  r.out = bridge.out();
  r.err = bridge.err();
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("kestal bridge one: stopped;"), std::string::npos) << r.err;
  ExpectNoSecret(r, "SIGTERM");
  ExpectOrdersExactlyOnce(*t_->db, 30);
}

#ifdef KESTAL_TEST_ODBC
// Through psqlODBC: the library reads the file and hands the driver PWD,
// never the "Password File" key; the driver's refusal quotes no password.
TEST(SecretOdbcTest, PasswordFileReachesTheDriverNeverItsMessages) {
  unsetenv("KESTAL_PASSWORD");
  OrderTables t(Engine::kOdbcPostgres);
  RequirePassword(*t.db);
  const std::string conn = AsRole(t.conn, "UID=");
  const std::string right = WriteFile(t.dir.File("pw"), std::string(kPassword) + "\n", 0600);
  const std::string wrong = WriteFile(t.dir.File("wrong"), std::string(kWrong) + "\n", 0600);
  ToolResult r = RunKestal({"sql", "info", conn + ";Password File=" + right, "orders"});
  EXPECT_EQ(r.status, 0) << r.err;
  ExpectNoSecret(r, "odbc, right file");
  r = RunKestal({"sql", "info", conn + ";Password File=" + wrong, "orders"});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("password authentication failed"), std::string::npos) << r.err;
  ExpectNoSecret(r, "odbc, wrong file");
  setenv("KESTAL_PASSWORD", kPassword, 1);
  r = RunKestal({"sql", "info", conn, "orders"});
  unsetenv("KESTAL_PASSWORD");
  EXPECT_EQ(r.status, 0) << r.err;
  ExpectNoSecret(r, "odbc, environment");
}
#endif

}  // namespace
}  // namespace kestal::test
