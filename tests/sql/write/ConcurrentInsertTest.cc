// Numbered inserts from several processes into one table: the server must
// hand out distinct, contiguous numbers, with no insert failing on the way.
#include "sql/write/WriteFixture.h"

namespace kestal::test {
namespace {

class ConcurrentInsertTest : public WriteTest {};
KESTAL_WRITE_ENGINES(ConcurrentInsertTest);

TEST_P(ConcurrentInsertTest, WritersGetDistinctContiguousNumbers) {
  constexpr int kWriters = 4, kEach = 50;
  db_->Exec("create table T (rec_num int not null, stock varchar(6), bs char(1))");
  const std::string connect = db_->ConnectionString();
  std::vector<pid_t> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.push_back(Spawn([&connect, w] {
      auto op = std::make_unique<CSQLOperate>();
      if (op->Open(connect.c_str(), "T") != 1) return 1;
      std::string image = "       0W" + std::to_string(w) + "    B";
      for (int i = 0; i < kEach; ++i) {
        if (op->AddNewRecordBase(image.data(), 0, 3, 1, 0) != 1) return 2;
      }
      return op->m_strTrace.IsEmpty() ? 0 : 3;  // a reconnection means a failed insert
    }));
  }
  for (pid_t pid : writers) EXPECT_EQ(0, Wait(pid));
  Strings expected;
  for (int i = 1; i <= kWriters * kEach; ++i) expected.push_back(std::to_string(i));
  EXPECT_EQ(expected, Rows("select rec_num from T order by rec_num"));
  EXPECT_EQ(Strings(kWriters, std::to_string(kEach)),
            Rows("select count(*) from T group by stock"));
}

}  // namespace
}  // namespace kestal::test
