// Shared pieces of the CSQLOperate core tests: a fixture over a fresh real
// database per test, a probe for the private helpers, a message box catcher.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/MessageBox.h"
#include "sql/SQLOperate.h"
#include "support/TestDatabase.h"

// Reaches the private helpers (a friend of CSQLOperate).
class CSQLOperateCoreProbe {
 public:
  static CString FormatSQL(CString result, const CString& condition) {
    CSQLOperate o;
    o.FormatSQL(result, condition);
    return result;
  }
  static int ReconnectAfter(CSQLOperate& o, const _com_error& e) { return o.ReconnectAfter(e); }
  static void ClearRowLimit(CSQLOperate& o) { o.ClearRowLimit(); }
  static void SetInsertSQL(CSQLOperate& o) { o.SetInsertSQL(); }
  static CString TraceEntry(const SYSTEMTIME& st, const char* event) {
    return CSQLOperate::ReOpenTraceEntry(st, event);
  }
};

namespace kestal::test {

// Collects the texts of the message boxes shown while it lives.
class MessageBoxCatcher {
 public:
  MessageBoxCatcher() {
    previous_ = SetMessageBoxHandler([this](const CString& text) { texts.push_back(text.str()); });
  }
  ~MessageBoxCatcher() { SetMessageBoxHandler(previous_); }
  std::vector<std::string> texts;

 private:
  MessageBoxHandler previous_;
};

// "读取批量数据失败" (GBK) followed by the block read's statement.
inline std::string ReadFailed(const std::string& sql) {
  return "\xB6\xC1\xC8\xA1\xC5\xFA\xC1\xBF\xCA\xFD\xBE\xDD\xCA\xA7\xB0\xDC" + sql;
}

// Number of occurrences of needle in text.
inline int Count(const CString& text, const char* needle) {
  int n = 0;
  for (int at = text.Find(needle); at >= 0; at = text.Find(needle, at + 1)) ++n;
  return n;
}

inline std::string EngineName(const ::testing::TestParamInfo<Engine>& info) {
  return info.param == Engine::kSqlite ? "sqlite" : "postgres";
}

class CoreTest : public ::testing::TestWithParam<Engine> {
 protected:
  void SetUp() override {
    // These tests read the statements an object sent.
    Connection::EnableStatementLog(true);
    db_ = TestDatabase::Create(GetParam());
  }
  std::string Conn() const { return db_->ConnectionString(); }

  // quotes(id int, name varchar(10), code char(6)) keyed 1..rows.
  void MakeQuotes(int rows) {
    db_->Exec("create table quotes (id int, name varchar(10), code char(6))");
    AddQuotes(1, rows);
  }
  void AddQuotes(int first, int last) {
    std::string sql = "begin;";
    for (int k = first; k <= last; ++k) {
      const std::string n = std::to_string(k);
      sql += "insert into quotes values (" + n + ", 'n" + n + "', 'c" + n + "');";
    }
    db_->Exec(sql + "commit;");
  }
  // True when text was sent on o's connection.
  static bool Sent(const CSQLOperate& o, const char* text) {
    for (const CString& s : o.m_pConnection->SentStatements()) {
      if (s == text) return true;
    }
    return false;
  }
  void OpenOk(CSQLOperate& o, const char* table) {
    ASSERT_EQ(1, o.Open(Conn().c_str(), table)) << table;
  }
  // Takes the database away (and back), the way a lost server looks.
  void TakeOffline() { db_->TakeOffline(); }
  void BringOnline() { db_->BringOnline(); }

  std::unique_ptr<TestDatabase> db_;
};

}  // namespace kestal::test
