// The connection strings SQL Server hosts use, mapped to an installed ODBC
// driver without a server: what SQLDriverConnect would get, the time-out,
// the character set and the masked password.
#include <gtest/gtest.h>

#include "sql/db/ComError.h"
#include "sql/db/odbc/Conninfo.h"

namespace kestal::test {
namespace {

using db::ConnectionString;
using db::odbc::BuildOdbcConnect;
using db::odbc::OdbcConnect;

const std::vector<std::string> kFreeTdsOnly = {"Kestal SQLite3", "FreeTDS"};
const std::vector<std::string> kMicrosoft = {"FreeTDS", "ODBC Driver 17 for SQL Server",
                                             "ODBC Driver 18 for SQL Server"};

OdbcConnect Build(const std::string& text, const std::vector<std::string>& installed,
                  long timeout = 15, const std::string& override_driver = "") {
  return BuildOdbcConnect(ConnectionString::Parse(text), timeout, installed, override_driver);
}

struct AdoCase {
  const char* name;
  const char* ado;
  std::vector<std::string> installed;
  const char* expected;  // the SQLDriverConnect string
};

TEST(OdbcConninfoTest, AdoStringsMapToTheInstalledDriver) {
  const AdoCase cases[] = {
      {"FreeTDS host,port",
       "Provider=SQLOLEDB;Data Source=db1,1433;Initial Catalog=Trade;"
       "User ID=sa;Password=pw",
       kFreeTdsOnly,
       "Driver=FreeTDS;Server=db1;Port=1433;Database=Trade;UID=sa;PWD=pw;TDS_Version=7.4;"
       "ClientCharset=GBK;"},
      {"FreeTDS instance", "Provider=SQLNCLI11;Server=db1\\SQLEXPRESS;Database=Trade;UID=u;PWD=p",
       kFreeTdsOnly,
       "Driver=FreeTDS;Server=db1\\SQLEXPRESS;Database=Trade;UID=u;PWD=p;TDS_Version=7.4;"
       "ClientCharset=GBK;"},
      {"Microsoft 18 preferred", "Provider=MSOLEDBSQL;Data Source=tcp:db1,1500;Initial Catalog=T",
       kMicrosoft, "Driver=ODBC Driver 18 for SQL Server;Server=db1,1500;Database=T;"},
      {"Microsoft 17",
       "Provider=MSOLEDBSQL19;Data Source=db1;Integrated Security=SSPI",
       {"ODBC Driver 17 for SQL Server"},
       "Driver=ODBC Driver 17 for SQL Server;Server=db1;Trusted_Connection=yes;"},
      {"SSPI drops the password",
       "Provider=SQLNCLI10;Data Source=h;Integrated Security=SSPI;"
       "User ID=x;Password=y",
       kFreeTdsOnly,
       "Driver=FreeTDS;Server=h;Trusted_Connection=yes;TDS_Version=7.4;ClientCharset=GBK;"},
      {"password with ; is braced", "Provider=SQLOLEDB;Data Source=h;User ID=u;Password='a;b}c'",
       kFreeTdsOnly,
       "Driver=FreeTDS;Server=h;UID=u;PWD={a;b}}c};TDS_Version=7.4;ClientCharset=GBK;"},
  };
  for (const AdoCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Build(c.ado, c.installed).text, c.expected);
  }
}

TEST(OdbcConninfoTest, OverrideAndMissingDriver) {
  EXPECT_EQ(Build("Provider=SQLOLEDB;Data Source=h", kMicrosoft, 15, "My TDS").text,
            "Driver=My TDS;Server=h;");
  // An override naming FreeTDS gets FreeTDS's keys.
  EXPECT_EQ(Build("Provider=SQLOLEDB;Data Source=h,9", kMicrosoft, 15, "FreeTDS").text,
            "Driver=FreeTDS;Server=h;Port=9;TDS_Version=7.4;ClientCharset=GBK;");
  try {
    Build("Provider=SQLOLEDB;Data Source=h", {"Kestal SQLite3"});
    ADD_FAILURE() << "no SQL Server driver, yet a string was built";
  } catch (const _com_error& e) {
    EXPECT_EQ(e.Error(), db::kConnectionError);
    EXPECT_NE(e.Description().Find("tdsodbc"), -1) << e.Description().c_str();
  }
}

TEST(OdbcConninfoTest, ProviderOdbcPassesEveryOtherKeyAsWritten) {
  const OdbcConnect c =
      Build("Provider=ODBC;DSN=trade;UID=u;PWD=secret;Some Option=x y;ClientCharset=UTF-8", {});
  EXPECT_EQ(c.text, "DSN=trade;UID=u;PWD=secret;Some Option=x y;ClientCharset=UTF-8;");
  EXPECT_EQ(c.client_charset, "UTF-8");
  EXPECT_EQ(c.shown.find("secret"), std::string::npos) << c.shown;
  // FreeTDS named by Driver= gets the process code page when the string
  // names no ClientCharset.
  EXPECT_EQ(Build("Provider=ODBC;Driver=FreeTDS;Server=h", {}).text,
            "Driver=FreeTDS;Server=h;ClientCharset=GBK;");
}

TEST(OdbcConninfoTest, LoginTimeoutFollowsConnectTimeoutAndTheReconnectionBound) {
  const char* text = "Provider=SQLOLEDB;Data Source=h;Connect Timeout=3";
  EXPECT_EQ(Build("Provider=SQLOLEDB;Data Source=h", kFreeTdsOnly).login_timeout, 15);
  EXPECT_EQ(Build(text, kFreeTdsOnly).login_timeout, 3);
  // A reconnection asks for its own 8 s.
  EXPECT_EQ(Build(text, kFreeTdsOnly, 8).login_timeout, 8);
  // Never without end.
  EXPECT_EQ(Build("Provider=ODBC;DSN=x;Connect Timeout=0", {}).login_timeout, 8);
  EXPECT_EQ(Build("Provider=ODBC;DSN=x", {}, 0).login_timeout, 8);
}

TEST(OdbcConninfoTest, ProvidersServed) {
  for (const char* p :
       {"ODBC", "sqloledb", "SQLNCLI10", "SQLNCLI11", "MSOLEDBSQL", "MSOLEDBSQL19"}) {
    EXPECT_TRUE(db::odbc::IsOdbcProvider(p)) << p;
  }
  EXPECT_FALSE(db::odbc::IsOdbcProvider("SQLite"));
  EXPECT_FALSE(db::odbc::IsOdbcProvider("PostgreSQL"));
}

}  // namespace
}  // namespace kestal::test
