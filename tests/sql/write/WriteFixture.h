// Shared fixture of the record-writing tests: a fresh real database per test,
// tables created through the engine's own client, CSQLOperate objects opened
// on them, and record images laid out by an object's field table.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sql/SQLOperate.h"
#include "support/TestDatabase.h"

namespace kestal::test {

class WriteTest : public ::testing::TestWithParam<Engine> {
 protected:
  void SetUp() override { db_ = TestDatabase::Create(GetParam()); }

  // Creates table with the column DDL columns and returns an object opened on
  // it (the test fails when Open does not return 1).
  std::unique_ptr<CSQLOperate> CreateAndOpen(const std::string& table, const std::string& columns);
  // An object opened on an existing table.
  std::unique_ptr<CSQLOperate> OpenExisting(const std::string& table);
  // Every row of sql, each row's columns joined by '|'.
  std::vector<std::string> Rows(const std::string& sql);

  std::unique_ptr<TestDatabase> db_;
};

// A record image laid out by op's field table: each named field holds its
// value (cut to the field's width, padded with blanks), the other fields are
// blanks. Fails the test for a name the table does not have.
std::string Image(const CSQLOperate& op, const std::map<std::string, std::string>& values);

// Statements sent on op's connection since its last clearing.
std::vector<std::string> Sent(const CSQLOperate& op);

// Name of the engine parameter, for test names.
std::string EngineName(const ::testing::TestParamInfo<Engine>& info);

// Changes the working directory for a scope, then goes back.
class ScopedChdir {
 public:
  explicit ScopedChdir(const std::string& dir);
  ~ScopedChdir();
  ScopedChdir(const ScopedChdir&) = delete;
  ScopedChdir& operator=(const ScopedChdir&) = delete;

 private:
  std::string old_;
};

}  // namespace kestal::test

// Instantiates a WriteTest-derived suite for every engine the tests run on.
#define KESTAL_WRITE_ENGINES(Suite)                                                            \
  INSTANTIATE_TEST_SUITE_P(Engines, Suite, ::testing::Values(::kestal::test::Engine::kSqlite), \
                           ::kestal::test::EngineName)
