// Shared pieces of the CSQLOperate core tests: a fixture over a fresh real
// database per test, a probe that reaches the class's private helpers, and a
// message box catcher.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/MessageBox.h"
#include "sql/SQLOperate.h"
#include "support/TestDatabase.h"

// Reaches the private helpers the core tests exercise directly (declared a
// friend of CSQLOperate).
class CSQLOperateCoreProbe {
 public:
  static void FormatSQL(CSQLOperate& o, CString& result, const CString& condition) {
    o.FormatSQL(result, condition);
  }
  static int ReconnectAfter(CSQLOperate& o, const _com_error& e) { return o.ReconnectAfter(e); }
  static void ClearRowLimit(CSQLOperate& o) { o.ClearRowLimit(); }
  static void SetInsertSQL(CSQLOperate& o) { o.SetInsertSQL(); }
  static CString TraceEntry(const SYSTEMTIME& st, const char* event) {
    return CSQLOperate::ReOpenTraceEntry(st, event);
  }
};

namespace kestal::test {

// Collects the texts of every message box shown while it lives.
class MessageBoxCatcher {
 public:
  MessageBoxCatcher() {
    previous_ = SetMessageBoxHandler([this](const CString& text) { texts.push_back(text); });
  }
  ~MessageBoxCatcher() { SetMessageBoxHandler(previous_); }
  std::vector<CString> texts;

 private:
  MessageBoxHandler previous_;
};

// "读取批量数据失败", the block read's failure message, GBK.
inline const char* ReadFailedText() {
  return "\xB6\xC1\xC8\xA1\xC5\xFA\xC1\xBF\xCA\xFD\xBE\xDD\xCA\xA7\xB0\xDC";
}

// Test name suffix of an engine parameter.
inline std::string EngineName(const ::testing::TestParamInfo<Engine>& info) {
  return info.param == Engine::kSqlite ? "sqlite" : "postgres";
}

class CoreTest : public ::testing::TestWithParam<Engine> {
 protected:
  void SetUp() override { db_ = TestDatabase::Create(GetParam()); }

  std::string Conn() const { return db_->ConnectionString(); }

  // Creates quotes(id int, name varchar(10), code char(6)) with rows keyed
  // 1..rows, named "n<id>" and coded "c<id>".
  void MakeQuotes(int rows) {
    db_->Exec("create table quotes (id int, name varchar(10), code char(6))");
    AddQuotes(1, rows);
  }
  // Appends quotes rows keyed first..last in one transaction.
  void AddQuotes(int first, int last) {
    std::string sql = "begin;";
    for (int k = first; k <= last; ++k) {
      sql += "insert into quotes values (" + std::to_string(k) + ", 'n" + std::to_string(k) +
             "', 'c" + std::to_string(k) + "');";
    }
    db_->Exec(sql + "commit;");
  }

  // True when text was among the statements sent on o's connection.
  static bool Sent(const CSQLOperate& o, const char* text) {
    for (const CString& s : o.m_pConnection->SentStatements()) {
      if (s == text) return true;
    }
    return false;
  }

  // Opens o on table; fails the test when Open does not return 1.
  void OpenOk(CSQLOperate& o, const char* table) {
    ASSERT_EQ(1, o.Open(Conn().c_str(), table)) << table;
  }

  std::unique_ptr<TestDatabase> db_;
};

}  // namespace kestal::test
