// Shared fixture of the reading tests: a fresh real database per test with
// trade tables created through the engine's own client, CSQLOperate objects
// opened on them, a writer in a second process, and helpers to look at the
// statements an object sent.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "sql/SQLOperate.h"
#include "support/TestDatabase.h"
#include "support/TestSupport.h"

namespace kestal::test {

// One row of a trade table. Keys: rec_num and serialnum carry the same value
// unless a test says otherwise.
struct TradeRow {
  long key;
  std::string stock = "600000";
  std::string bs = "B";
  std::string cjsj = "93000";
  std::string time = "09:30:00";
  std::string date = "20260101";
};

class ReadTest : public ::testing::TestWithParam<Engine> {
 protected:
  void SetUp() override {
    // These tests read the statements an object sent.
    Connection::EnableStatementLog(true);
    db_ = TestDatabase::Create(GetParam());
  }

  // Creates a trade table: rec_num int, stock varchar(10), bs char(1),
  // cjsj varchar(8), time varchar(19), serialnum int, date char(8).
  void CreateTrades(const std::string& table);
  // Inserts rows in one transaction, in the order given.
  void Insert(const std::string& table, const std::vector<TradeRow>& rows);
  // Inserts plain rows keyed first..last.
  void InsertRange(const std::string& table, long first, long last);
  // An object opened on table (the test fails when Open does not return 1).
  std::unique_ptr<CSQLOperate> OpenTable(const std::string& table);

  std::unique_ptr<TestDatabase> db_;
};

// Resident-memory cases: skipped under AddressSanitizer, whose shadow memory
// swamps the figures, and run with the statement log off, as in a host.
class MemoryReadTest : public ReadTest {
 protected:
  void SetUp() override {
    ReadTest::SetUp();
    if (kUnderAddressSanitizer)
      GTEST_SKIP() << "resident memory means nothing under AddressSanitizer";
    Connection::EnableStatementLog(false);
  }
  void TearDown() override { Connection::EnableStatementLog(true); }
};

// A second process that appends plain trade rows on request, through its own
// connection: Append hands it keys and returns once they are all written, in
// the order given. The process ends with the object.
class WriterProcess {
 public:
  WriterProcess(const std::string& connection, const std::string& table);
  ~WriterProcess();
  WriterProcess(const WriterProcess&) = delete;
  WriterProcess& operator=(const WriterProcess&) = delete;
  // Returns true when the writer wrote every key.
  bool Append(const std::vector<long>& keys);

 private:
  int requests_ = -1;
  int replies_ = -1;
  pid_t pid_ = -1;
};

// The insert statement of one trade row.
std::string InsertSql(const std::string& table, const TradeRow& row);

// Statements sent on op's connection since its last clearing.
std::vector<std::string> Sent(const CSQLOperate& op);
// Forgets the statements sent so far.
void ClearSent(CSQLOperate& op);

// Reads column of every row of the open window (SeekToCurrentPos,
// GetFieldValue, MoveNextEx) until the window empties.
std::vector<std::string> DrainWindow(CSQLOperate& op, const char* column);

// Today's UTC date shifted by days, as eight digits "YYYYMMDD".
std::string UtcDate(int days);

// Name of the engine parameter, for test names.
std::string EngineName(const ::testing::TestParamInfo<Engine>& info);

}  // namespace kestal::test

// Instantiates a ReadTest-derived suite for every engine the tests run on.
#define KESTAL_READ_ENGINES(Suite)                                                           \
  INSTANTIATE_TEST_SUITE_P(Engines, Suite, ::testing::ValuesIn(::kestal::test::kAllEngines), \
                           ::kestal::test::EngineName)
