// Reaching the server: the connection-string forms hosts write, refusals,
// the connect time-out, and the statuses of a link lost under a Connection.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "PgServer.h"
#include "sql/db/Ado.h"
#include "support/TestDatabase.h"

namespace kestal::test::pg {
namespace {

using kestal::db::kConnectionError;
using kestal::db::kStatementError;

std::string Port() {
  return std::getenv("KESTAL_PG_PORT") ? std::getenv("KESTAL_PG_PORT") : "";
}

// The status Open raises for text (0 when it opens).
HRESULT OpenStatus(const std::string& text, long timeout = -1, std::string* why = nullptr) {
  _ConnectionPtr c;
  c.CreateInstance();
  if (timeout >= 0) c->PutConnectionTimeout(timeout);
  try {
    c->Open(CString(text));
  } catch (const _com_error& e) {
    if (why) *why = e.Description().str();
    return e.Error();
  }
  return 0;
}

// The status the next statement on c raises (0 when it runs).
HRESULT StatementStatus(_ConnectionPtr& c, const char* sql) {
  try {
    c->Execute(sql);
  } catch (const _com_error& e) {
    return e.Error();
  }
  return 0;
}

class PgConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override { db_ = TestDatabase::Create(Engine::kPostgres); }
  std::string Database() const { return DatabaseOf(db_->ConnectionString()); }
  std::unique_ptr<TestDatabase> db_;
};

TEST_F(PgConnectionTest, HostsMayNameServerAndDatabaseInEitherSpelling) {
  const std::string db = Database();
  EXPECT_EQ(0, OpenStatus(db_->ConnectionString()));
  EXPECT_EQ(0, OpenStatus("Provider=PostgreSQL;Data Source=127.0.0.1;Port=" + Port() +
                          ";Initial Catalog=" + db + ";User ID=postgres;Password=x"));
  EXPECT_EQ(0, OpenStatus("provider=postgresql;Host=127.0.0.1;Port=" + Port() + ";Database=" + db +
                          ";UID=postgres"));
  EXPECT_EQ(0, OpenStatus("Provider=PostgreSQL;Server=127.0.0.1," + Port() + ";Database=" + db +
                          ";User ID=postgres"));
  // libpq's own keywords pass through: this server offers no SSL.
  EXPECT_EQ(0, OpenStatus(db_->ConnectionString() + ";sslmode=disable"));
  EXPECT_EQ(kConnectionError, OpenStatus(db_->ConnectionString() + ";sslmode=require"));
}

TEST_F(PgConnectionTest, RefusedConnectionsAreConnectionErrorsWithTheServersReason) {
  std::string why;
  EXPECT_EQ(kConnectionError, OpenStatus("Provider=PostgreSQL;Server=127.0.0.1;Port=" + Port() +
                                             ";Database=no_such_db;User ID=postgres",
                                         -1, &why));
  EXPECT_NE(std::string::npos, why.find("no_such_db")) << why;
  // Nothing listens on port 1.
  EXPECT_EQ(kConnectionError,
            OpenStatus("Provider=PostgreSQL;Server=127.0.0.1;Port=1;Database=x;User ID=postgres"));
  EXPECT_EQ(kConnectionError, OpenStatus("Provider=Oracle;Server=127.0.0.1"));
}

TEST_F(PgConnectionTest, LostLinkIsAConnectionErrorAndReopeningRestoresIt) {
  _ConnectionPtr c;
  c.CreateInstance();
  c->Open(CString(db_->ConnectionString()));
  EXPECT_EQ(kStatementError, StatementStatus(c, "select * from nosuch"));
  ASSERT_EQ(1, TerminateLibraryBackends(db_->ConnectionString()));
  EXPECT_EQ(kConnectionError, StatementStatus(c, "select 1 as one"));
  EXPECT_EQ(kConnectionError, StatementStatus(c, "select 1 as one"));  // stays lost
  c->Close();
  c->Open(CString(db_->ConnectionString()));
  EXPECT_EQ(0, StatementStatus(c, "select 1 as one"));
}

TEST_F(PgConnectionTest, LinkLostInsideAHostTransactionLosesTheTransaction) {
  db_->Exec("create table t (v int)");
  _ConnectionPtr c;
  c.CreateInstance();
  c->Open(CString(db_->ConnectionString()));
  c->BeginTrans();
  c->Execute("insert into t values (1)");
  ASSERT_EQ(1, TerminateLibraryBackends(db_->ConnectionString()));
  EXPECT_EQ(kConnectionError, StatementStatus(c, "insert into t values (2)"));
  try {
    c->CommitTrans();
    ADD_FAILURE() << "commit on a lost link succeeded";
  } catch (const _com_error& e) {
    EXPECT_EQ(kConnectionError, e.Error());
  }
  EXPECT_EQ("0", db_->Scalar("select count(*) from t"));
}

// A listener that completes TCP handshakes but never answers, like a server
// that hangs: only the connect time-out ends the wait.
class SilentListener {
 public:
  SilentListener() {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    EXPECT_EQ(0, bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
    EXPECT_EQ(0, listen(fd_, 8));
    EXPECT_EQ(0, getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len));
    port_ = ntohs(addr.sin_port);
  }
  ~SilentListener() { close(fd_); }
  int port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

TEST(SlowPgConnectTimeoutTest, ConnectGivesUpAfterTheConnectionTimeout) {
  SilentListener silent;
  const std::string text =
      "Provider=PostgreSQL;Server=127.0.0.1;Port=" + std::to_string(silent.port()) +
      ";Database=x;User ID=postgres";
  long long start = NowMs();
  EXPECT_EQ(kConnectionError, OpenStatus(text, 3));
  long long took = NowMs() - start;
  EXPECT_GE(took, 2500);
  EXPECT_LT(took, 6000);
  // Reconnection sets 8 seconds, the time-out of a dead server.
  start = NowMs();
  EXPECT_EQ(kConnectionError, OpenStatus(text, 8));
  took = NowMs() - start;
  EXPECT_GE(took, 7500);
  EXPECT_LT(took, 11000);
}

}  // namespace
}  // namespace kestal::test::pg
