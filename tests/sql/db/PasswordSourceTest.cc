// Passwords kept out of connection strings: read from a "Password File" or
// KESTAL_PASSWORD at connect time, and hidden by MaskPasswords whatever form
// the string has. Real files with real modes; the process environment.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>

#include "sql/db/ComError.h"
#include "sql/db/ConnectionString.h"
#include "support/TestSupport.h"

namespace {

using kestal::db::ConnectionString;
using kestal::db::MaskPasswords;
using kestal::db::ResolvePassword;

TEST(MaskPasswordsTest, EveryFormHidesThePassword) {
  struct Case {
    const char* text;
    const char* masked;
  };
  const Case cases[] = {
      {"Provider=PostgreSQL;Server=h;Password=s3cret;User ID=u",
       "Provider=PostgreSQL;Server=h;Password=***;User ID=u"},
      {"Provider=PostgreSQL;PWD = s3cret", "Provider=PostgreSQL;PWD = ***"},
      {"password=\"a;b\"\"c\";Server=h", "password=***;Server=h"},
      {"Password='unterminated;Server=h", "Password=***"},
      {"host=h password=s3cret dbname=d", "host=h password=***"},
      {"postgresql://u:s3cret@h:5432/d?sslmode=disable",
       "postgresql://u:***@h:5432/d?sslmode=disable"},
      {"postgres://h/d?user=u&password=s3cret&sslmode=x",
       "postgres://h/d?user=u&password=***&sslmode=x"},
      // Not passwords: a key that only ends in one, the file's path.
      {"sslpassword=x;Password File=/etc/kestal/pw", "sslpassword=x;Password File=/etc/kestal/pw"},
      {"Provider=SQLite;Data Source=/tmp/a.db", "Provider=SQLite;Data Source=/tmp/a.db"},
  };
  for (const Case& c : cases) EXPECT_EQ(MaskPasswords(c.text), c.masked) << c.text;
}

TEST(MaskPasswordsTest, MalformedStringsNeverQuoteThePassword) {
  // An unquoted ';' in a password splits it; the rest is never shown.
  for (const char* text : {"Provider=PostgreSQL;Password=ab;cdSECRET", "PWD=x;SECRETy;Server=h"}) {
    try {
      ConnectionString::Parse(text);
      ADD_FAILURE() << text;
    } catch (const _com_error& e) {
      EXPECT_EQ(e.Description().str().find("SECRET"), std::string::npos) << e.Description().str();
      EXPECT_NE(e.Description().str().find("double quotes"), std::string::npos);
    }
  }
}

// A password file at path holding text, with mode.
void WriteFile(const std::string& path, const std::string& text, mode_t mode) {
  std::ofstream(path) << text;
  ASSERT_EQ(chmod(path.c_str(), mode), 0);
}

// The password ResolvePassword gives text, or "error: DESCRIPTION".
std::string Resolved(const std::string& text) {
  ConnectionString cs = ConnectionString::Parse(text);
  try {
    ResolvePassword(&cs);
  } catch (const _com_error& e) {
    EXPECT_EQ(e.Error(), kestal::db::kConnectionError);
    return "error: " + e.Description().str();
  }
  EXPECT_FALSE(cs.Has("Password File"));
  return cs.Get("Password", "(none)");
}

class PasswordSourceTest : public ::testing::Test {
 protected:
  void SetUp() override { unsetenv("KESTAL_PASSWORD"); }
  void TearDown() override { unsetenv("KESTAL_PASSWORD"); }
  kestal::test::TempDir dir_;
};

TEST_F(PasswordSourceTest, FileIsReadWithoutItsLineBreak) {
  const std::string pg = "Provider=PostgreSQL;Server=h;Password File=" + dir_.File("pw");
  struct Case {
    const char* text;
    mode_t mode;
    const char* want;
  };
  const Case cases[] = {
      {"s3cret\n", 0600, "s3cret"},
      {"s3cret\r\n", 0640, "s3cret"},  // the group may read it
      {"s3cret", 0400, "s3cret"},
      {"two words \n\n", 0600, "two words \n"},  // only one line break goes
      {"a;b=\"c\"", 0600, "a;b=\"c\""},
  };
  for (const Case& c : cases) {
    WriteFile(dir_.File("pw"), c.text, c.mode);
    EXPECT_EQ(Resolved(pg), c.want) << c.text;
  }
}

TEST_F(PasswordSourceTest, UnsafeOrUnreadableFilesAreRefusedNamingThePath) {
  const std::string path = dir_.File("pw");
  const std::string pg = "Provider=PostgreSQL;Server=h;Password File=" + path;
  WriteFile(path, "s3cret\n", 0644);
  EXPECT_EQ(Resolved(pg), "error: the password file '" + path +
                              "' can be read by every user (mode 0644); allow only its owner "
                              "(and group) to read it, e.g. chmod 600");
  WriteFile(path, "\n", 0600);
  EXPECT_EQ(Resolved(pg), "error: the password file '" + path + "' is empty");
  ASSERT_EQ(unlink(path.c_str()), 0);
  EXPECT_EQ(Resolved(pg),
            "error: the password file '" + path + "' cannot be opened: No such file or directory");
  EXPECT_EQ(Resolved("Provider=PostgreSQL;Password File=" + dir_.path()),
            "error: the password file '" + dir_.path() + "' is not a regular file");
  WriteFile(path, std::string(5000, 'x'), 0600);
  EXPECT_NE(Resolved(pg).find("is longer than 4096 bytes"), std::string::npos);
}

TEST_F(PasswordSourceTest, PrecedenceStringThenFileThenEnvironment) {
  WriteFile(dir_.File("pw"), "from-file\n", 0600);
  const std::string file = ";Password File=" + dir_.File("pw");
  setenv("KESTAL_PASSWORD", "from-env", 1);
  EXPECT_EQ(Resolved("Provider=PostgreSQL;Password=given" + file), "given");
  EXPECT_EQ(Resolved("Provider=ODBC;PWD=given"), "(none)");  // PWD is the string's own
  EXPECT_EQ(Resolved("Provider=PostgreSQL" + file), "from-file");
  EXPECT_EQ(Resolved("Provider=PostgreSQL"), "from-env");
  EXPECT_EQ(Resolved("Provider=ODBC;DSN=x"), "from-env");
  // SQLite takes no password; a file it names is not even opened.
  EXPECT_EQ(Resolved("Provider=SQLite;Data Source=/tmp/x.db;Password File=/nonexistent"), "(none)");
  unsetenv("KESTAL_PASSWORD");
  EXPECT_EQ(Resolved("Provider=PostgreSQL"), "(none)");
}

}  // namespace
