// Two objects with one bulk-load tag in one working folder, in two threads
// and in two processes: each batch must load its own file, so that every key
// lands exactly once, whatever the interleaving.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>

#include "sql/write/WriteFixture.h"
#include "support/TestSupport.h"

namespace kestal::test {
namespace {

constexpr int kKeys = 400;  // per loader
constexpr int kBatch = 10;  // records per bulk load

class SharedTagTest : public WriteTest {
 protected:
  void SetUp() override {
    WriteTest::SetUp();
    db_->Exec("create table T (rec_num int not null, stock varchar(6), bs char(1))");
    ASSERT_EQ(0, mkdir(work_.File("log").c_str(), 0755));
  }
  // An object on T with work_ as its working folder.
  std::unique_ptr<CSQLOperate> Loader() {
    auto op = Open("T", "", work_.path());
    EXPECT_EQ(1, op->AllocOrderBuff());
    return op;
  }
  TempDir work_;
};
KESTAL_WRITE_ENGINES(SharedTagTest);

// Loads keys from .. from+kKeys-1 in bulk loads of kBatch under the tag "S";
// returns the number of loads that did not report success.
int LoadKeys(CSQLOperate* op, int from) {
  int failed = 0;
  for (int key = from; key < from + kKeys; key += kBatch) {
    op->BuffInit();
    for (int k = key; k < key + kBatch; ++k) {
      char image[32];
      std::snprintf(image, sizeof image, "%8dSHARE%dB", k, k % 10);
      if (op->AddInsertRecordToBuff(image, 2, 0) != 1) ++failed;
    }
    if (op->ExecBatchInsert(1, 2, "S") != 1) ++failed;
  }
  return failed;
}

// Expects T to hold the keys 1 .. n, each once.
void ExpectEachKeyOnce(TestDatabase& db, int n) {
  EXPECT_EQ(std::to_string(n), db.Scalar("select count(*) from T"));
  EXPECT_EQ(std::to_string(n), db.Scalar("select count(distinct rec_num) from T"));
  EXPECT_EQ("1", db.Scalar("select min(rec_num) from T"));
  EXPECT_EQ(std::to_string(n), db.Scalar("select max(rec_num) from T"));
}

TEST_P(SharedTagTest, TwoThreadsLoadTheirOwnRows) {
  auto a = Loader();
  auto b = Loader();
  int failed_a = -1;
  int failed_b = -1;
  std::thread ta([&] { failed_a = LoadKeys(a.get(), 1); });
  std::thread tb([&] { failed_b = LoadKeys(b.get(), 1 + kKeys); });
  ta.join();
  tb.join();
  EXPECT_EQ(0, failed_a);
  EXPECT_EQ(0, failed_b);
  ExpectEachKeyOnce(*db_, 2 * kKeys);
}

TEST_P(SharedTagTest, TwoProcessesLoadTheirOwnRows) {
  const std::string conn = db_->ConnectionString();
  const std::string dir = work_.path();
  auto loader = [&](int from) {
    return Spawn([&conn, &dir, from] {
      if (chdir(dir.c_str()) != 0) return 10;
      CSQLOperate op;
      if (op.Open(conn.c_str(), "T") != 1 || op.AllocOrderBuff() != 1) return 11;
      return LoadKeys(&op, from) == 0 ? 0 : 12;
    });
  };
  const pid_t first = loader(1);
  const pid_t second = loader(1 + kKeys);
  EXPECT_EQ(0, Wait(first));
  EXPECT_EQ(0, Wait(second));
  ExpectEachKeyOnce(*db_, 2 * kKeys);
}

}  // namespace
}  // namespace kestal::test
