// Failure kinds as the engines' error mappers give them, on every engine: a
// writer decides by them whether a record is at fault, so a value error must
// never be taken for a lock or a full disk, nor the other way round. The
// connection keeps the last one for callers whose operation swallows it.
#include <gtest/gtest.h>

#include <thread>

#include "sql/db/EngineFixture.h"

namespace kestal::test {
namespace {

using kestal::db::FailureKind;

class FailureKindTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    db_->Exec("create table K (n int not null, t varchar(4), check (n <> 7))");
  }
  // The kind sql raises; kUnknown with a test failure when it runs.
  FailureKind KindOf(const char* sql) {
    try {
      conn_->Execute(sql);
      ADD_FAILURE() << "ran: " << sql;
    } catch (const _com_error& e) {
      EXPECT_EQ(e.Kind(), conn_->LastError().Kind());
      EXPECT_EQ(e.Description(), conn_->LastError().Description());
      return e.Kind();
    }
    return FailureKind::kUnknown;
  }
};
INSTANTIATE_TEST_SUITE_P(Engines, FailureKindTest, ::testing::ValuesIn(kAllEngines), EngineName);

TEST_P(FailureKindTest, ValuesStatementsAndTheLastError) {
  struct Case {
    const char* sql;
    FailureKind kind;
  };
  const Case cases[] = {
      {"insert into K (n) values (null)", FailureKind::kValue},  // not null
      {"insert into K (n) values (7)", FailureKind::kValue},     // check
      {"insert into K (n) values (cast('12abc' as int))", FailureKind::kValue},
      {"select * from NoSuchTable", FailureKind::kStatement},
      {"select nosuchcolumn from K", FailureKind::kStatement},
  };
  for (const Case& c : cases) EXPECT_EQ(c.kind, KindOf(c.sql)) << c.sql;
  // Success leaves the last error as it was; ClearErrors empties it.
  conn_->Execute("insert into K (n) values (1)");
  EXPECT_EQ(FailureKind::kStatement, conn_->LastError().Kind());
  conn_->ClearErrors();
  EXPECT_EQ(0, conn_->LastError().Error());
}

TEST_P(FailureKindTest, LockHeldElsewhereIsBusyNotTheRecordSlow) {
  // Another connection holds the table; this one gives up after its time-out
  // (SQLite, natively or through its driver: the busy time-out of at least
  // 5 s; PostgreSQL, natively or through psqlODBC: a 1 s command time-out)
  // with kind busy.
  const bool postgres = Backend(GetParam()) == Engine::kPostgres;
  _ConnectionPtr other;
  other.CreateInstance();
  std::string cs = db_->ConnectionString();
  if (postgres) cs += ";Command Timeout=1";
  conn_->Close();
  conn_->PutConnectionTimeout(5);
  conn_->Open(CString(cs));
  other->Open(CString(db_->ConnectionString()));
  other->BeginTrans();
  other->Execute(postgres ? "lock table K in access exclusive mode"
                          : "insert into K (n) values (2)");
  try {
    conn_->Execute("insert into K (n) values (3)");
    ADD_FAILURE() << "the insert did not wait for the lock";
  } catch (const _com_error& e) {
    EXPECT_EQ(FailureKind::kBusy, e.Kind()) << e.Description();
  }
  other->CommitTrans();
  conn_->Execute("insert into K (n) values (3)");
}

}  // namespace
}  // namespace kestal::test
