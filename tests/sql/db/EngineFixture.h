// A test fixture over the database engines: each test gets a fresh database
// of the engine named by the parameter and an open Connection to it.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

#include "sql/db/Ado.h"
#include "support/TestDatabase.h"

namespace kestal::test {

class EngineTest : public ::testing::TestWithParam<Engine> {
 protected:
  void SetUp() override {
    db_ = TestDatabase::Create(GetParam());
    conn_.CreateInstance();
    conn_->Open(CString(db_->ConnectionString()));
  }

  // The first column of the first row of sql through the access layer, as
  // text; "NULL" for a NULL.
  std::string Scalar(const char* sql) {
    _RecordsetPtr rs = conn_->Execute(sql);
    std::vector<CString> names = rs->ColumnNames();
    _variant_t v = rs->GetCollect(names.at(0).c_str());
    return v.IsNull() ? "NULL" : v.ToString().str();
  }

  // The status sql raises, or 0 when it runs.
  HRESULT StatusOf(const char* sql) {
    try {
      conn_->Execute(sql);
      return 0;
    } catch (const _com_error& e) {
      return e.Error();
    }
  }

  std::unique_ptr<TestDatabase> db_;
  _ConnectionPtr conn_;
};

inline std::string EngineName(const ::testing::TestParamInfo<Engine>& info) {
  return ::kestal::test::EngineLabel(info.param);
}

// True when status, written with "%08lx", contains "800": the rule by which
// callers decide to reconnect.
inline bool ReconnectRuleCatches(HRESULT status) {
  char text[32];
  std::snprintf(text, sizeof text, "%08lx",
                static_cast<unsigned long>(static_cast<uint32_t>(status)));
  return std::string(text).find("800") != std::string::npos;
}

}  // namespace kestal::test
