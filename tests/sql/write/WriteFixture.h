// Fixture of the record-writing tests: a fresh real database per test, tables
// made through the engine's own client, objects opened on them, and record
// images laid out by an object's field table.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sql/SQLOperate.h"
#include "support/TestDatabase.h"

namespace kestal::test {

using Strings = std::vector<std::string>;

class WriteTest : public ::testing::TestWithParam<Engine> {
 protected:
  void SetUp() override {
    // These tests read the statements an object sent.
    Connection::EnableStatementLog(true);
    db_ = TestDatabase::Create(GetParam());
  }

  // Creates table (when columns is given) and opens an object on it, with
  // the working directory at construction set to cwd when given.
  std::unique_ptr<CSQLOperate> Open(const std::string& table, const std::string& columns = "",
                                    const std::string& cwd = "") {
    if (!columns.empty()) db_->Exec("create table " + table + " (" + columns + ")");
    char old[4096];
    EXPECT_TRUE(getcwd(old, sizeof old) && (cwd.empty() || chdir(cwd.c_str()) == 0));
    auto op = std::make_unique<CSQLOperate>();
    EXPECT_EQ(0, chdir(old));
    EXPECT_EQ(1, op->Open(db_->ConnectionString().c_str(), table.c_str()));
    op->m_pConnection->ClearSentStatements();
    return op;
  }
  // Rows of sql, each row's columns joined by '|'.
  Strings Rows(const std::string& sql) {
    Strings out;
    for (const auto& row : db_->Query(sql)) {
      std::string line;
      for (size_t i = 0; i < row.size(); ++i) line += (i ? "|" : "") + row[i];
      out.push_back(line);
    }
    return out;
  }

  std::unique_ptr<TestDatabase> db_;
};

// A record image laid out by op's field table: named fields hold their value
// (cut to the width, padded with blanks), the others blanks.
inline std::string Image(const CSQLOperate& op, const std::map<std::string, std::string>& values) {
  std::string image;
  for (int i = 0; i < op.m_nFieldCount; ++i) {
    std::string bytes(static_cast<size_t>(op.m_FieldInfo[i].nWidth), ' ');
    auto it = values.find(op.m_FieldInfo[i].strName.str());
    if (it != values.end()) bytes.replace(0, it->second.size(), it->second.substr(0, bytes.size()));
    image += bytes.substr(0, static_cast<size_t>(op.m_FieldInfo[i].nWidth));
  }
  return image;
}

// Statements sent on op's connection since the object was opened.
inline Strings Sent(const CSQLOperate& op) {
  Strings out;
  for (const CString& text : op.m_pConnection->SentStatements()) out.push_back(text.str());
  return out;
}

inline bool Has(const CString& text, const char* part) {
  return text.Find(part) >= 0;
}

}  // namespace kestal::test

// Instantiates a WriteTest suite for every engine the tests run on.
#define KESTAL_WRITE_ENGINES(Suite)                                                                \
  INSTANTIATE_TEST_SUITE_P(                                                                        \
      Engines, Suite, ::testing::ValuesIn(::kestal::test::kAllEngines), [](const auto& info) {     \
        return std::string(info.param == ::kestal::test::Engine::kSqlite ? "sqlite" : "postgres"); \
      })
