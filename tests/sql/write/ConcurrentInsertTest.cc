// Numbered inserts from several processes into one table: the server must
// hand out distinct, contiguous numbers.
#include <string>

#include "sql/write/WriteFixture.h"

namespace kestal::test {
namespace {

class SlowConcurrentInsertTest : public WriteTest {};
KESTAL_WRITE_ENGINES(SlowConcurrentInsertTest);

TEST_P(SlowConcurrentInsertTest, WritersGetDistinctContiguousNumbers) {
  constexpr int kWriters = 4;
  constexpr int kPerWriter = 50;
  db_->Exec("create table T (rec_num int not null, stock varchar(6), bs char(1))");
  const std::string connect = db_->ConnectionString();
  std::vector<pid_t> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.push_back(Spawn([&connect, w] {
      CSQLOperate* op = new CSQLOperate();
      if (op->Open(connect.c_str(), "T") != 1) return 1;
      std::string image = "       0W" + std::to_string(w) + "    B";
      for (int i = 0; i < kPerWriter; ++i) {
        if (op->AddNewRecordBase(image.data(), 0, 3, 1, 0) != 1) return 2;
      }
      // A reconnection means an insert failed on the way.
      int code = op->m_strTrace.IsEmpty() ? 0 : 3;
      delete op;
      return code;
    }));
  }
  for (pid_t pid : writers) EXPECT_EQ(0, Wait(pid));

  auto rows = Rows("select rec_num from T order by rec_num");
  ASSERT_EQ(static_cast<size_t>(kWriters * kPerWriter), rows.size());
  for (int i = 0; i < kWriters * kPerWriter; ++i) EXPECT_EQ(std::to_string(i + 1), rows[i]);
  for (int w = 0; w < kWriters; ++w) {
    EXPECT_EQ(std::vector<std::string>({std::to_string(kPerWriter)}),
              Rows("select count(*) from T where stock='W" + std::to_string(w) + "    '"));
  }
}

}  // namespace
}  // namespace kestal::test
