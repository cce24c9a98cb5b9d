// Finding a driver's bulk-copy entry points at run time, against real
// driver libraries: psqlODBC is loaded by the driver manager but exports no
// bcp_*, so the load names the driver and what it lacks. Which drivers get
// SQL_COPT_SS_BCP before the login is decided from the connection text.
#include <gtest/gtest.h>

#include "sql/db/Ado.h"
#include "sql/db/odbc/BulkCopy.h"
#include "sql/db/odbc/Session.h"
#include "support/TestDatabase.h"

namespace kestal::test {
namespace {

std::string InfoText(SQLHDBC dbc, SQLUSMALLINT item) {
  char buffer[256] = {0};
  SQLSMALLINT length = 0;
  if (!SQL_SUCCEEDED(SQLGetInfo(dbc, item, buffer, sizeof buffer, &length))) return std::string();
  return buffer;
}

TEST(OdbcBulkCopyTest, DriverLibraryWithoutTheEntryPointsIsNamedInTheError) {
  std::unique_ptr<TestDatabase> db = TestDatabase::Create(Engine::kOdbcPostgres);
  _ConnectionPtr conn;
  conn.CreateInstance();
  conn->Open(CString(db->ConnectionString()));
  auto* session = dynamic_cast<db::odbc::Session*>(conn->Session());
  ASSERT_NE(nullptr, session);
  const std::string driver = InfoText(session->Raw(), SQL_DRIVER_NAME);
  ASSERT_NE(std::string::npos, driver.find("psqlodbc")) << driver;
  try {
    db::odbc::OpenBulkCopy(session->Raw(), driver, "");
    ADD_FAILURE() << "psqlODBC offered bulk copy";
  } catch (const _com_error& e) {
    EXPECT_EQ(db::kNotSupported, e.Error());
    const std::string text = e.Description().str();
    EXPECT_NE(std::string::npos, text.find("'" + driver + "'")) << text;
    EXPECT_NE(std::string::npos, text.find("bcp_initW")) << text;
  }
  // The connection is still usable afterwards.
  EXPECT_FALSE(conn->Execute("select 1")->IsEOF());
}

TEST(OdbcBulkCopyTest, DriverNotLoadedInTheProcessIsRefusedByName) {
  std::unique_ptr<TestDatabase> db = TestDatabase::Create(Engine::kOdbcSqlite);
  _ConnectionPtr conn;
  conn.CreateInstance();
  conn->Open(CString(db->ConnectionString()));
  auto* session = dynamic_cast<db::odbc::Session*>(conn->Session());
  ASSERT_NE(nullptr, session);
  try {
    db::odbc::OpenBulkCopy(session->Raw(), "libmsodbcsql-18.3.so.2.1", "");
    ADD_FAILURE() << "a driver that is not loaded offered bulk copy";
  } catch (const _com_error& e) {
    EXPECT_EQ(db::kNotSupported, e.Error());
    EXPECT_NE(std::string::npos, e.Description().str().find("'libmsodbcsql-18.3.so.2.1'"))
        << e.Description().str();
  }
}

TEST(OdbcBulkCopyTest, DriversAskedForBulkCopyBeforeTheLogin) {
  const struct {
    const char* text;
    bool microsoft;
    bool freetds;
  } kCases[] = {
      {"Driver={ODBC Driver 18 for SQL Server};Server=db", true, false},
      {"Driver={ODBC Driver 17 for SQL Server};Server=db", true, false},
      {"Driver=/opt/microsoft/msodbcsql18/lib64/libmsodbcsql-18.3.so.2.1;Server=db", true, false},
      {"Driver=FreeTDS;Server=db;TDS_Version=7.4", false, true},
      {"Driver=/usr/lib/x86_64-linux-gnu/odbc/libtdsodbc.so;Server=db", false, true},
      {"Driver={PostgreSQL Unicode};Server=db", false, false},
      {"Driver=SQLite3;Database=/tmp/x.db", false, false},
      {"DSN=sales", false, false},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(c.microsoft, db::odbc::IsMicrosoftDriver(c.text)) << c.text;
    EXPECT_EQ(c.freetds, db::odbc::IsFreeTdsDriver(c.text)) << c.text;
  }
}

}  // namespace
}  // namespace kestal::test
