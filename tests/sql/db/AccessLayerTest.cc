// Connection, Command and Recordset on a real database: positioning, values,
// NULL, code pages, transactions, the statement log and injected faults.
#include <gtest/gtest.h>

#include <utility>

#include "EngineFixture.h"
#include "sql/db/FaultInjection.h"

namespace kestal::test {
namespace {

using namespace kestal::db;  // statuses

class AccessTest : public EngineTest {
 protected:
  void SetUp() override {
    Connection::EnableStatementLog(true);
    EngineTest::SetUp();
    db_->Exec("create table T (n int, name varchar(20), r float)");
    db_->Exec("insert into T values (1, 'one', 0.1), (2, 'two', 2.5), (3, NULL, NULL)");
  }
  _RecordsetPtr All() { return conn_->Execute("select * from T order by n"); }
};

template <class F>
HRESULT Raised(F f) {
  try {
    f();
    return 0;
  } catch (const _com_error& e) {
    return e.Error();
  }
}

TEST_P(AccessTest, ValuesComeAsTextAndColumnsMatchWithoutCase) {
  _RecordsetPtr rs = All();
  EXPECT_EQ(rs->GetRecordCount(), 3);
  EXPECT_EQ(rs->GetCollect("N").ToString(), "1");
  EXPECT_EQ(rs->GetCollect("NAME").ToString(), "one");
  // A value read out of a temporary leaves the row's own copy in place.
  EXPECT_EQ(rs->GetCollect("name").ToString(), "one");
  EXPECT_EQ(rs->GetCollect("r").ToString(), "0.1");
  rs->MoveNext();
  EXPECT_EQ(CString(rs->GetCollect("r")), "2.5");
  EXPECT_EQ(Scalar("select 12345678901 as big"), "12345678901");
  EXPECT_EQ(Raised([&] { rs->GetCollect("missing"); }), kItemNotFound);
}

TEST_P(AccessTest, NullIsItsOwnStateAndCannotBecomeText) {
  _RecordsetPtr rs = All();
  rs->Move(2);
  _variant_t v = rs->GetCollect("name");
  EXPECT_TRUE(v.IsNull());
  EXPECT_EQ(Raised([&] { v.ToString(); }), kTypeMismatch);
  EXPECT_EQ(Raised([&] { rs->GetCollect("name").ToString(); }), kTypeMismatch);
  EXPECT_EQ(Raised([&] { std::move(v).ToString(); }), kTypeMismatch);
  EXPECT_EQ(Raised([&] { CString s = rs->GetCollect("r"); }), kTypeMismatch);
  EXPECT_FALSE(rs->GetCollect("n").IsNull());
}

TEST_P(AccessTest, PositioningStaysInsideTheRowsOrLandsOnEof) {
  _RecordsetPtr rs = All();
  EXPECT_FALSE(rs->IsBOF());
  EXPECT_EQ(Raised([&] { rs->Move(-1); }), kNoCurrentRecord);
  EXPECT_EQ(rs->AbsolutePosition(), 0);
  rs->Move(2);
  EXPECT_EQ(rs->GetCollect("n").ToString(), "3");
  EXPECT_EQ(Raised([&] { rs->Move(2); }), kNoCurrentRecord);
  EXPECT_EQ(rs->AbsolutePosition(), 2);
  rs->MoveNext();
  EXPECT_TRUE(rs->IsEOF());
  EXPECT_EQ(Raised([&] { rs->GetCollect("n"); }), kNoCurrentRecord);
  EXPECT_EQ(Raised([&] { rs->MoveNext(); }), kNoCurrentRecord);
  EXPECT_EQ(Raised([&] { rs->Move(2147483647L); }), kNoCurrentRecord);
  rs->Move(0);
  rs->MoveFirst();
  EXPECT_EQ(rs->GetCollect("n").ToString(), "1");
  rs->Move(3);
  EXPECT_TRUE(rs->IsEOF());
  rs->Move(-3);
  EXPECT_EQ(rs->GetCollect("n").ToString(), "1");
}

TEST_P(AccessTest, EmptyResultIsOpenAtBofAndEof) {
  _RecordsetPtr rs = conn_->Execute("select * from T where n > 100");
  EXPECT_EQ(rs->GetState(), adStateOpen);
  EXPECT_EQ(rs->GetRecordCount(), 0);
  EXPECT_TRUE(rs->IsBOF());
  EXPECT_TRUE(rs->IsEOF());
  rs->MoveFirst();
  EXPECT_EQ(Raised([&] { rs->GetCollect("n"); }), kNoCurrentRecord);
  EXPECT_EQ(rs->ColumnNames().size(), 3u);
}

TEST_P(AccessTest, ClosedObjectsRefuseWork) {
  _RecordsetPtr rs = conn_->Execute("update T set n = n");
  EXPECT_EQ(rs->GetState(), adStateClosed);
  EXPECT_EQ(Raised([&] { rs->GetRecordCount(); }), kObjectClosed);
  EXPECT_EQ(Raised([&] { rs->MoveFirst(); }), kObjectClosed);
  EXPECT_EQ(Raised([&] { rs->Close(); }), kObjectClosed);
  EXPECT_TRUE(rs->ColumnNames().empty());
  _RecordsetPtr empty;
  EXPECT_EQ(Raised([&] { empty->GetRecordCount(); }), kNullObject);
  conn_->Close();
  EXPECT_EQ(conn_->GetState(), adStateClosed);
  EXPECT_EQ(Raised([&] { conn_->Execute("select 1"); }), kObjectClosed);
  EXPECT_EQ(Raised([&] { conn_->Close(); }), kObjectClosed);
  EXPECT_EQ(Raised([&] { conn_->BeginTrans(); }), kObjectClosed);
}

TEST_P(AccessTest, RecordsetOpenAndCommand) {
  _RecordsetPtr rs;
  rs.CreateInstance();
  rs->Open("select * from T order by n", conn_, adOpenStatic, adLockOptimistic, adCmdText);
  EXPECT_EQ(rs->GetRecordCount(), 3);
  EXPECT_EQ(Raised([&] { rs->Open("select 1", conn_); }), kObjectOpen);
  rs->Close();
  EXPECT_EQ(Raised([&] { rs->Open("select 1", _ConnectionPtr()); }), kNullObject);
  EXPECT_EQ(rs->GetState(), adStateClosed);

  _CommandPtr cmd;
  cmd.CreateInstance();
  EXPECT_EQ(Raised([&] { cmd->Execute(); }), kNullObject);
  cmd->PutRefActiveConnection(conn_);
  cmd->PutCommandText("select count(*) as c from T");
  EXPECT_EQ(cmd->Execute(adCmdText)->GetCollect("C").ToString(), "3");
  EXPECT_EQ(Raised([&] { conn_->Open(CString(db_->ConnectionString())); }), kObjectOpen);
}

TEST_P(AccessTest, GbkTextRoundTripsAndReachesTheEngineAsUtf8) {
  // "中文" in GBK.
  const CString gbk("\xD6\xD0\xCE\xC4");
  conn_->Execute(CString("insert into T (n, name) values (10, '") + gbk + "')");
  EXPECT_EQ(db_->Scalar("select name from T where n = 10"), "中文");
  EXPECT_EQ(conn_->Execute(CString("select n from T where name = '") + gbk + "'")
                ->GetCollect("n")
                .ToString(),
            "10");
  EXPECT_EQ(conn_->Execute("select name from T where n = 10")->GetCollect("name").ToString(), gbk);
  // A column alias in GBK comes back in GBK too.
  _RecordsetPtr rs = conn_->Execute(CString("select n as ") + gbk + " from T where n = 1");
  EXPECT_EQ(rs->GetCollect(gbk).ToString(), "1");
}

TEST_P(AccessTest, UnconvertibleBytesBecomeQuestionMarks) {
  conn_->Execute(
      "insert into T (n, name) values (11, 'a\xFF\xFF"
      "b')");
  EXPECT_EQ(db_->Scalar("select name from T where n = 11"), "a??b");
  // Text in the database that the code page cannot hold comes back as '?'.
  db_->Exec("insert into T (n, name) values (12, 'x\xE2\x82\xA9y')");  // U+20A9, not in GBK
  const std::string back =
      conn_->Execute("select name from T where n = 12")->GetCollect("name").ToString().str();
  EXPECT_EQ(back.front(), 'x');
  EXPECT_EQ(back.back(), 'y');
  EXPECT_EQ(back.substr(1, back.size() - 2).find_first_not_of('?'), std::string::npos) << back;
}

TEST_P(AccessTest, CommitWithoutBeginFails) {
  EXPECT_EQ(Raised([&] { conn_->CommitTrans(); }), kTransactionError);
  EXPECT_EQ(conn_->BeginTrans(), 1);
  conn_->Execute("insert into T (n) values (20)");
  conn_->CommitTrans();
  EXPECT_EQ(db_->Scalar("select count(*) from T where n = 20"), "1");
  EXPECT_EQ(Raised([&] { conn_->CommitTrans(); }), kTransactionError);
  // One level only: a second BeginTrans is refused and the first stays.
  conn_->BeginTrans();
  EXPECT_EQ(Raised([&] { conn_->BeginTrans(); }), kTransactionError);
  conn_->Execute("insert into T (n) values (22)");
  conn_->CommitTrans();
  EXPECT_EQ(db_->Scalar("select count(*) from T where n = 22"), "1");
}

TEST_P(AccessTest, UncommittedWorkIsGoneWhenTheConnectionCloses) {
  conn_->BeginTrans();
  conn_->Execute("insert into T (n) values (21)");
  conn_->Close();
  EXPECT_EQ(db_->Scalar("select count(*) from T where n = 21"), "0");
}

TEST_P(AccessTest, SentStatementsLogTheTextAsWritten) {
  conn_->ClearSentStatements();
  conn_->Execute("select top 1 * from T with (nolock)");
  EXPECT_EQ(Raised([&] { conn_->Execute("select * from Nowhere"); }), kStatementError);
  _RecordsetPtr rs;
  rs.CreateInstance();
  rs->Open("select isnull(name,'-') as x from T", conn_);
  conn_->Close();
  conn_->Open(CString(db_->ConnectionString()));
  conn_->Execute("set rowcount 0");
  const auto& log = conn_->SentStatements();
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log[0], "select top 1 * from T with (nolock)");
  EXPECT_EQ(log[1], "select * from Nowhere");
  EXPECT_EQ(log[2], "select isnull(name,'-') as x from T");
  EXPECT_EQ(log[3], "set rowcount 0");
}

TEST_P(AccessTest, StatementLogStaysBoundedInBytesOnALongRunningConnection) {
  conn_->ClearSentStatements();
  conn_->Close();  // a closed connection still logs what it is handed, cheaply
  // Statements of 100,000 bytes: the byte bound, not a count, must hold.
  const CString pad(std::string(100000 - 16, ' ').c_str());
  const size_t fit = Connection::kStatementLogBytes / 100000;
  CString sql;
  for (size_t i = 0; i < 3 * fit; ++i) {
    sql.Format("select %06d%s", static_cast<int>(i), pad.c_str());
    try {
      conn_->Execute(sql);
    } catch (const _com_error&) {
    }
  }
  const auto& log = conn_->SentStatements();
  size_t bytes = 0;
  for (const CString& s : log) bytes += static_cast<size_t>(s.GetLength());
  EXPECT_LE(bytes, Connection::kStatementLogBytes);
  EXPECT_GE(log.size(), fit - 1);
  CString last;
  last.Format("select %06d", static_cast<int>(3 * fit - 1));
  EXPECT_EQ(log.back().Left(13), last);
  // One statement larger than the bound is still kept, alone.
  try {
    conn_->Execute(CString(std::string(Connection::kStatementLogBytes + 1, 'x').c_str()));
  } catch (const _com_error&) {
  }
  EXPECT_EQ(conn_->SentStatements().size(), 1u);
}

TEST_P(AccessTest, StatementLogIsOffUnlessAskedFor) {
  Connection::EnableStatementLog(false);
  conn_->ClearSentStatements();
  conn_->Execute("select 1");
  EXPECT_TRUE(conn_->SentStatements().empty());
  Connection::EnableStatementLog(true);
  conn_->Execute("select 2");
  ASSERT_EQ(conn_->SentStatements().size(), 1u);
  EXPECT_EQ(conn_->SentStatements().front(), "select 2");
}

TEST_P(AccessTest, InjectedStatementFaultReachesTheCallerAndNothingRuns) {
  {
    ScopedFaultHook hook([](FaultPoint point, const CString& text) {
      if (point == FaultPoint::kStatement && text.Find("insert") >= 0) {
        throw _com_error(kConnectionError, "link lost");
      }
    });
    try {
      conn_->Execute("insert into T (n) values (30)");
      FAIL() << "the fault did not reach the caller";
    } catch (const _com_error& e) {
      EXPECT_EQ(e.Error(), kConnectionError);
      EXPECT_EQ(e.Description(), "link lost");
    }
    EXPECT_EQ(Scalar("select count(*) as c from T"), "3");
  }
  conn_->Execute("insert into T (n) values (30)");
  EXPECT_EQ(db_->Scalar("select count(*) from T where n = 30"), "1");
}

TEST_P(AccessTest, LinkLostInTheMiddleOfABatchKeepsTheStatementsBeforeIt) {
  std::vector<std::string> seen;
  {
    ScopedFaultHook hook([&](FaultPoint point, const CString& text) {
      if (point != FaultPoint::kBatchStatement) return;
      seen.push_back(text.str());
      if (text.Find("41") >= 0) throw _com_error(kConnectionError, "link lost");
    });
    EXPECT_EQ(Raised([&] {
                conn_->Execute(
                    "insert into T (n) values (40);insert into T (n) values (41);"
                    "insert into T (n) values (42)");
              }),
              kConnectionError);
  }
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0], "insert into T (n) values (40)");
  EXPECT_EQ(db_->Scalar("select count(*) from T where n >= 40"), "1");
}

TEST_P(AccessTest, BatchFaultInsideATransactionLeavesItOpenWithTheEarlierWork) {
  std::vector<std::string> seen;
  conn_->BeginTrans();
  {
    ScopedFaultHook hook([&](FaultPoint point, const CString& text) {
      if (point != FaultPoint::kBatchStatement) return;
      seen.push_back(text.str());
      if (text.Find("51") >= 0) throw _com_error(kConnectionError, "link lost");
    });
    // "中" (GBK): the hook sees each statement in the host's code page.
    EXPECT_EQ(Raised([&] {
                conn_->Execute(
                    "insert into T (n, name) values (50, '\xD6\xD0');insert into T (n) values (51);"
                    "insert into T (n) values (52)");
              }),
              kConnectionError);
  }
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0], "insert into T (n, name) values (50, '\xD6\xD0')");
  conn_->Execute("insert into T (n) values (53)");
  conn_->CommitTrans();
  EXPECT_EQ(db_->Scalar("select count(*) from T where n >= 50"), "2");
  EXPECT_EQ(db_->Scalar("select name from T where n = 50"), "\xE4\xB8\xAD");  // UTF-8 in the engine
  EXPECT_EQ(db_->Scalar("select count(*) from T where n = 53"), "1");
}

TEST_P(AccessTest, InjectedOpenFaultLeavesTheConnectionClosed) {
  conn_->Close();
  std::string seen;
  {
    ScopedFaultHook hook([&](FaultPoint point, const CString& text) {
      if (point == FaultPoint::kOpen) {
        seen = text.str();
        throw _com_error(kConnectionError, "server unreachable");
      }
    });
    EXPECT_EQ(Raised([&] { conn_->Open(CString(db_->ConnectionString())); }), kConnectionError);
    EXPECT_EQ(conn_->GetState(), adStateClosed);
  }
  EXPECT_EQ(seen, db_->ConnectionString());
  conn_->Open(CString(""));  // the connection string set before is used
  EXPECT_EQ(conn_->GetState(), adStateOpen);
}

TEST_P(AccessTest, EveryRaisedStatusMatchesTheReconnectionRule) {
  std::vector<HRESULT> seen;
  auto note = [&](auto f) { seen.push_back(Raised(f)); };
  note([&] { conn_->Execute("select * from Nowhere"); });
  note([&] { conn_->Execute("select top 5 percent * from T"); });
  note([&] { All()->GetCollect("zz"); });
  note([&] { conn_->Execute("select name from T where n = 3")->GetCollect("name").ToString(); });
  note([&] { conn_->CommitTrans(); });
  note([&] {
    _ConnectionPtr c;
    c.CreateInstance();
    c->Open("Provider=SQLite;Data Source=/nonexistent/dir/x.db");
  });
  for (HRESULT s : seen) {
    EXPECT_NE(s, 0);
    EXPECT_TRUE(ReconnectRuleCatches(s)) << std::hex << s;
  }
}

INSTANTIATE_TEST_SUITE_P(Engines, AccessTest, ::testing::ValuesIn(kAllEngines), EngineName);

}  // namespace
}  // namespace kestal::test
