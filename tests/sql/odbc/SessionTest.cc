// The ODBC engine on real drivers: psqlODBC against the test server and
// SQLite's ODBC driver on a scratch file (both registered in a temporary
// ODBCSYSINI), and FreeTDS against a port where no server listens.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>

#include "sql/db/Ado.h"
#include "sql/db/odbc/Session.h"
#include "support/TestDatabase.h"
#include "support/TestSupport.h"

namespace kestal::test {
namespace {

class OdbcSessionTest : public ::testing::TestWithParam<Engine> {
 protected:
  void SetUp() override {
    db_ = TestDatabase::Create(GetParam());
    db_->Exec("create table t (id int primary key, name varchar(20))");
    conn_.CreateInstance();
    conn_->Open(CString(db_->ConnectionString()));
  }
  db::odbc::Session& Session() {
    auto* s = dynamic_cast<db::odbc::Session*>(conn_->Session());
    if (s == nullptr) throw std::runtime_error("not an ODBC session");
    return *s;
  }
  HRESULT StatusOf(const char* sql) {
    description_.clear();
    try {
      conn_->Execute(sql);
      return 0;
    } catch (const _com_error& e) {
      description_ = e.Description().str();
      return e.Error();
    }
  }
  std::unique_ptr<TestDatabase> db_;
  _ConnectionPtr conn_;
  std::string description_;
};

TEST_P(OdbcSessionTest, EveryStatementOfABatchHasItsRowCount) {
  conn_->Execute(
      "insert into t values (1, 'a'); insert into t values (2, 'b'); update t set name = 'c'; "
      "delete from t where id = 9; select id from t");
  const std::vector<long> expected = {1, 1, 2, 0, 2};
  EXPECT_EQ(Session().RowCounts(), expected);
}

TEST_P(OdbcSessionTest, AFailingStatementReportsItsOwnErrorAndTheEarlierOnesStay) {
  EXPECT_EQ(StatusOf("insert into t values (1, 'a'); insert into t values (2, 'b'); "
                     "insert into t values (1, 'dup'); insert into t values (3, 'c')"),
            db::kStatementError);
  EXPECT_FALSE(description_.empty());
  EXPECT_NE(description_.find("SQLSTATE"), std::string::npos) << description_;
  EXPECT_EQ(db_->Scalar("select count(*) from t"), "2");
  // The connection goes on.
  EXPECT_EQ(StatusOf("insert into t values (3, 'c')"), 0) << description_;
  EXPECT_EQ(db_->Scalar("select count(*) from t"), "3");
}

TEST_P(OdbcSessionTest, PlainInsertsOfOneHeadGoAsOneInsertWhereBatchesGo) {
  for (const bool in_transaction : {false, true}) {
    SCOPED_TRACE(in_transaction ? "in a host transaction" : "outside a transaction");
    db_->Exec("delete from t");
    if (in_transaction) conn_->BeginTrans();
    conn_->Execute(
        "insert into t values (1, 'a'); insert into t values (2, 'b'), (3, 'c'); "
        "insert into t values (4, 'd'); update t set name = 'x' where id > 2; "
        "insert into t values (5, 'e')");
    // One count per statement as written, the savepoint's commands left out.
    const std::vector<long> expected = {1, 2, 1, 2, 1};
    EXPECT_EQ(Session().RowCounts(), expected);
    EXPECT_EQ(conn_->RowsChanged(), 1);
    std::string sent;
    for (const std::string& text : Session().SentTexts()) sent += text + "\n";
    if (in_transaction) conn_->CommitTrans();
    // SQLite's driver takes one statement per call: each goes alone there.
    const bool joined = GetParam() == Engine::kOdbcPostgres;
    EXPECT_EQ(sent.find("values (1, 'a'), (2, 'b'), (3, 'c'), (4, 'd')") != std::string::npos,
              joined)
        << sent;
    EXPECT_EQ(db_->Scalar("select count(*) from t where name = 'x'"), "2");
    EXPECT_EQ(db_->Scalar("select count(*) from t"), "5");
  }
}

TEST_P(OdbcSessionTest, AFailingRowAmongJoinedInsertsEndsAsTheStatementsSentAlone) {
  for (const bool in_transaction : {false, true}) {
    SCOPED_TRACE(in_transaction ? "in a host transaction" : "outside a transaction");
    db_->Exec("delete from t");
    db_->Exec("insert into t values (3, 'there')");
    // The error the failing statement gives when sent alone.
    EXPECT_EQ(StatusOf("insert into t values (3, 'dup')"), db::kStatementError);
    const std::string alone = description_;
    if (in_transaction) conn_->BeginTrans();
    EXPECT_EQ(StatusOf("insert into t values (1, 'a'); insert into t values (2, 'b'); "
                       "insert into t values (3, 'dup'); insert into t values (4, 'd')"),
              db::kStatementError);
    EXPECT_EQ(description_, alone);
    // The statements before the failing one, one count each, and its own.
    const std::vector<long> expected = {1, 1, -1};
    EXPECT_EQ(Session().RowCounts(), expected);
    EXPECT_EQ(conn_->RowsChanged(), 1);
    if (in_transaction) {
      conn_->Execute("insert into t values (5, 'e')");
      conn_->CommitTrans();
      EXPECT_EQ(db_->Scalar("select count(*) from t where id = 5"), "1");
    }
    EXPECT_EQ(db_->Scalar("select count(*) from t where id in (1, 2)"), "2");
    EXPECT_EQ(db_->Scalar("select count(*) from t where id = 4"), "0");
    EXPECT_EQ(db_->Scalar("select name from t where id = 3"), "there");
  }
}

TEST_P(OdbcSessionTest, HostTransactionCommitsAroundAFailedStatement) {
  conn_->BeginTrans();
  conn_->Execute("insert into t values (1, 'a')");
  EXPECT_EQ(StatusOf("insert into t values (1, 'dup')"), db::kStatementError);
  conn_->Execute("insert into t values (2, 'b')");
  conn_->CommitTrans();
  EXPECT_EQ(db_->Scalar("select count(*) from t"), "2");
  // Closed before the commit: nothing stays.
  conn_->BeginTrans();
  conn_->Execute("insert into t values (3, 'c')");
  conn_->Close();
  EXPECT_EQ(db_->Scalar("select count(*) from t"), "2");
}

TEST_P(OdbcSessionTest, CodePageTextRoundTrips) {
  // "中文" in GBK, the process code page.
  conn_->Execute("insert into t values (1, '\xD6\xD0\xCE\xC4')");
  EXPECT_EQ(db_->Scalar("select name from t"), "中文");
  _RecordsetPtr rs = conn_->Execute("select name as Name from t");
  EXPECT_EQ(rs->GetCollect("NAME").ToString().str(), "\xD6\xD0\xCE\xC4");
  EXPECT_TRUE(conn_->Execute("select null as n")->GetCollect("n").IsNull());
}

TEST_P(OdbcSessionTest, LongValuesComeBackWholeAmongShortOnes) {
  db_->Exec("create table notes (id int, body varchar(5000), free text)");
  const std::string body(3000, 'x');
  const std::string free = std::string(300, 'y') + "end";
  for (int i = 1; i <= 300; ++i) {
    db_->Exec("insert into notes values (" + std::to_string(i) + ", '" +
              (i % 100 == 0 ? body : "short") + "', '" + (i % 7 == 0 ? free : "f") + "')");
  }
  _RecordsetPtr rs = conn_->Execute("select id, body, free from notes order by id");
  ASSERT_EQ(rs->GetRecordCount(), 300);
  for (int i = 1; i <= 300; ++i, rs->MoveNext()) {
    ASSERT_EQ(rs->GetCollect("id").ToString().str(), std::to_string(i));
    EXPECT_EQ(rs->GetCollect("body").ToString().str(), i % 100 == 0 ? body : "short") << i;
    EXPECT_EQ(rs->GetCollect("free").ToString().str(), i % 7 == 0 ? free : "f") << i;
  }
}

TEST_P(OdbcSessionTest, RefusedConnectNamesTheFailureButNeverThePassword) {
  std::string text = db_->ConnectionString();
  text = GetParam() == Engine::kOdbcSqlite
             ? text.substr(0, text.find("Database=")) + "Database=/nonexistent/dir/x.db"
             : text.substr(0, text.find("Database=")) + "Database=no_such_db";
  text += ";PWD=Secr3t-pw";
  _ConnectionPtr other;
  other.CreateInstance();
  try {
    other->Open(CString(text));
    ADD_FAILURE() << "connected to " << text;
  } catch (const _com_error& e) {
    EXPECT_EQ(e.Error(), db::kConnectionError);
    const std::string d = e.Description().str();
    EXPECT_NE(d.find("cannot connect"), std::string::npos) << d;
    EXPECT_EQ(d.find("Secr3t-pw"), std::string::npos) << d;
  }
}

INSTANTIATE_TEST_SUITE_P(Drivers, OdbcSessionTest,
                         ::testing::Values(Engine::kOdbcSqlite, Engine::kOdbcPostgres),
                         [](const auto& info) { return std::string(EngineLabel(info.param)); });

// A loopback port where nothing listens.
int ClosedPort() {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t n = sizeof a;
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &n);
  close(s);
  return ntohs(a.sin_port);
}

// A loopback listener that takes connections into its backlog and never
// answers, like a server hung before its login reply; closed on
// destruction.
class SilentListener {
 public:
  SilentListener() : socket_(socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(socket_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(socket_, 8);
    socklen_t n = sizeof a;
    getsockname(socket_, reinterpret_cast<sockaddr*>(&a), &n);
    port_ = ntohs(a.sin_port);
  }
  ~SilentListener() { close(socket_); }
  int port() const { return port_; }

 private:
  int socket_;
  int port_ = 0;
};

// Opens text and returns the failure and how long it took.
std::pair<_com_error, long long> FailedOpen(const std::string& text) {
  const auto start = std::chrono::steady_clock::now();
  _ConnectionPtr c;
  c.CreateInstance();
  try {
    c->Open(CString(text));
  } catch (const _com_error& e) {
    return {e, std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now() - start)
                   .count()};
  }
  return {_com_error(0), 0};
}

// A DSN that turns out to reach SQLite is connected again with this
// library's functions loaded: the rewritten T-SQL works through it.
TEST(OdbcDsnTest, SqliteThroughADsnGetsTheDialectFunctions) {
  const std::string folder = RegisterOdbcDrivers();
  TempDir dir;
  {
    std::ofstream ini(folder + "/odbc.ini", std::ios::app);
    ini << "[kestal_dsn_" << getpid() << "]\nDriver=" << OdbcDriverName("sqlite")
        << "\nDatabase=" << dir.File("dsn.db") << "\n\n";
  }
  _ConnectionPtr c;
  c.CreateInstance();
  {
    // SQLite's ODBC driver reads the DSN's settings at connect and never
    // frees them: not this library's memory to answer for.
    LeaksIgnoredHere third_party;
    c->Open(CString("Provider=ODBC;DSN=kestal_dsn_" + std::to_string(getpid()) + ";Create=yes"));
  }
  c->Execute("create table t (id int, name varchar(8))");
  c->Execute("insert into t values (1, 'ab  ')");
  _RecordsetPtr rs = c->Execute(
      "select len(name) as n, isnull(null, 'x') as v from t where "
      "name = 'AB'");
  ASSERT_EQ(rs->GetRecordCount(), 1);
  EXPECT_EQ(rs->GetCollect("n").ToString().str(), "2");
  EXPECT_EQ(rs->GetCollect("v").ToString().str(), "x");
}

TEST(OdbcDsnTest, UnknownDriverOrDsnFailsAsAConnectionError) {
  RegisterOdbcDrivers();
  for (const char* text : {"Provider=ODBC;Driver=No Such Driver;Server=h;PWD=Secr3t-pw",
                           "Provider=ODBC;DSN=no_such_dsn;PWD=Secr3t-pw"}) {
    const auto [error, ms] = FailedOpen(text);
    (void)ms;
    EXPECT_EQ(error.Error(), db::kConnectionError) << text;
    const std::string d = error.Description().str();
    // The driver manager's own diagnostic, with the string that failed.
    EXPECT_NE(d.find("[unixODBC][Driver Manager]"), std::string::npos) << d;
    EXPECT_NE(d.find("SQLSTATE"), std::string::npos) << d;
    EXPECT_EQ(d.find("Secr3t-pw"), std::string::npos) << d;
  }
}

TEST(OdbcFreeTdsTest, ClosedLoopbackPortFailsFastWithAClearMessage) {
  RegisterOdbcDrivers();
  const std::string port = std::to_string(ClosedPort());
  for (const std::string& text : {"Provider=SQLOLEDB;Data Source=127.0.0.1," + port +
                                      ";Initial Catalog=Trade;User ID=sa;Password=Secr3t-pw",
                                  "Provider=ODBC;Driver=FreeTDS;Server=127.0.0.1;Port=" + port +
                                      ";TDS_Version=7.4;UID=sa;PWD=Secr3t-pw"}) {
    SCOPED_TRACE(text);
    const auto [error, ms] = FailedOpen(text);
    EXPECT_EQ(error.Error(), db::kConnectionError);
    const std::string d = error.Description().str();
    EXPECT_NE(d.find("cannot connect"), std::string::npos) << d;
    EXPECT_NE(d.find("SQLSTATE 08"), std::string::npos) << d;
    EXPECT_NE(d.find("Driver=FreeTDS"), std::string::npos) << d;
    EXPECT_EQ(d.find("Secr3t-pw"), std::string::npos) << d;
    EXPECT_LT(ms, 5000);
  }
}

TEST(OdbcFreeTdsTest, UnreachableHostFailsWithinTheConnectTimeout) {
  RegisterOdbcDrivers();
  const SilentListener silent;
  // 192.0.2.0/24 is reserved for documentation: nothing answers there; the
  // silent listener takes the connection and never answers the login.
  for (const std::string& server :
       {std::string("192.0.2.1,1433"), "127.0.0.1," + std::to_string(silent.port())}) {
    SCOPED_TRACE(server);
    const auto [error, ms] =
        FailedOpen("Provider=SQLOLEDB;Data Source=" + server + ";Connect Timeout=2;User ID=sa");
    EXPECT_EQ(error.Error(), db::kConnectionError) << error.Description().c_str();
    EXPECT_LT(ms, 2000 + 6000);  // the bound plus slack for a loaded machine
  }
}

// psqlODBC alike: a closed port fails at once, a host that never answers
// within the connect time-out, both as connection errors without the
// password.
TEST(OdbcPsqlTest, ClosedPortAndUnreachableHostFailWithinTheConnectTimeout) {
  RegisterOdbcDrivers();
  const SilentListener silent;
  const std::string driver = "Provider=ODBC;Driver=" + OdbcDriverName("postgres");
  const struct {
    std::string text;
    long long bound_ms;
  } kCases[] = {
      {driver + ";Server=127.0.0.1;Port=" + std::to_string(ClosedPort()) +
           ";Database=x;UID=u;PWD=Secr3t-pw",
       5000},
      // 192.0.2.0/24 is reserved for documentation: nothing answers there.
      {driver + ";Server=192.0.2.1;Port=5432;Database=x;UID=u;PWD=Secr3t-pw;Connect Timeout=2",
       2000 + 6000},  // the bound plus slack for a loaded machine
      // Connected, but the login is never answered.
      {driver + ";Server=127.0.0.1;Port=" + std::to_string(silent.port()) +
           ";Database=x;UID=u;PWD=Secr3t-pw;Connect Timeout=2",
       2000 + 6000},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.text);
    const auto [error, ms] = FailedOpen(c.text);
    EXPECT_EQ(error.Error(), db::kConnectionError);
    EXPECT_EQ(error.Description().str().find("Secr3t-pw"), std::string::npos)
        << error.Description().str();
    EXPECT_LT(ms, c.bound_ms);
    // The driver itself refused: the server was tried.
    EXPECT_EQ(error.Description().str().find("Can't open lib"), std::string::npos)
        << error.Description().str();
  }
}

}  // namespace
}  // namespace kestal::test
