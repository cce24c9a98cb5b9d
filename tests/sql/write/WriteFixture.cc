#include "sql/write/WriteFixture.h"

#include <unistd.h>

#include <climits>
#include <stdexcept>

namespace kestal::test {

std::unique_ptr<CSQLOperate> WriteTest::CreateAndOpen(const std::string& table,
                                                      const std::string& columns) {
  db_->Exec("create table " + table + " (" + columns + ")");
  return OpenExisting(table);
}

std::unique_ptr<CSQLOperate> WriteTest::OpenExisting(const std::string& table) {
  auto op = std::make_unique<CSQLOperate>();
  EXPECT_EQ(1, op->Open(db_->ConnectionString().c_str(), table.c_str()));
  if (op->m_pConnection) op->m_pConnection->ClearSentStatements();
  return op;
}

std::vector<std::string> WriteTest::Rows(const std::string& sql) {
  std::vector<std::string> out;
  for (const auto& row : db_->Query(sql)) {
    std::string line;
    for (size_t i = 0; i < row.size(); ++i) line += (i ? "|" : "") + row[i];
    out.push_back(line);
  }
  return out;
}

std::string Image(const CSQLOperate& op, const std::map<std::string, std::string>& values) {
  std::string image;
  size_t found = 0;
  for (int i = 0; i < op.m_nFieldCount; ++i) {
    const FIELDINFO& field = op.m_FieldInfo[i];
    std::string bytes(static_cast<size_t>(field.nWidth), ' ');
    auto it = values.find(field.strName.str());
    if (it != values.end()) {
      bytes.replace(0, std::min(bytes.size(), it->second.size()),
                    it->second.substr(0, bytes.size()));
      ++found;
    }
    image += bytes;
  }
  EXPECT_EQ(values.size(), found) << "a named field is not in the table";
  return image;
}

std::vector<std::string> Sent(const CSQLOperate& op) {
  std::vector<std::string> out;
  if (!op.m_pConnection) return out;
  for (const CString& text : op.m_pConnection->SentStatements()) out.push_back(text.str());
  return out;
}

std::string EngineName(const ::testing::TestParamInfo<Engine>& info) {
  return info.param == Engine::kSqlite ? "sqlite" : "postgres";
}

ScopedChdir::ScopedChdir(const std::string& dir) {
  char buf[PATH_MAX];
  if (getcwd(buf, sizeof buf) == nullptr) throw std::runtime_error("getcwd");
  old_ = buf;
  if (chdir(dir.c_str()) != 0) throw std::runtime_error("chdir " + dir);
}

ScopedChdir::~ScopedChdir() {
  if (chdir(old_.c_str()) != 0) ADD_FAILURE() << "cannot return to " << old_;
}

}  // namespace kestal::test
