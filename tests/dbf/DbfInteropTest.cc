// Interoperability with an independent dBASE implementation, the Python dbf
// module (Debian python3-dbf), run as a child process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "DbfTestUtil.h"
#include "dbf/DBFOperate.h"
#include "support/TestSupport.h"

namespace kestal::test {
namespace {

constexpr const char* kPython = "/usr/bin/python3";

// write PATH: a GBK table of two records. read PATH: one line per record.
// append PATH NAME: one more record.
constexpr const char* kScript = R"PY(
import sys, datetime, dbf
mode, path = sys.argv[1], sys.argv[2]
if mode == 'write':
    t = dbf.Table(path, 'REC_NUM N(8,0); NAME C(10); QTY N(9,2); DAY D; OK L',
                  dbf_type='db3', codepage='cp936')
    t.open(dbf.READ_WRITE)
    t.append((1, 'abc', 1.5, datetime.date(2026, 12, 7), True))
    t.append((2, '\u6210\u529f', -3.25, None, False))
    t.close()
elif mode == 'append':
    t = dbf.Table(path)
    t.open(dbf.READ_WRITE)
    t.append((len(t) + 1, sys.argv[3], 7, datetime.date(2027, 1, 2), True))
    t.close()
else:
    t = dbf.Table(path)
    t.open(dbf.READ_ONLY)
    print(len(t))
    for r in t:
        print('%d|%s|%.2f|%s|%s' % (r.rec_num, r.name.rstrip(), r.qty, r.day, r.ok))
    t.close()
)PY";

class DbfInteropTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists(kPython)) GTEST_SKIP() << "no " << kPython;
    WriteFile(dir.File("table.py"), kScript);
  }
  // Runs the script; returns its standard output (UTF-8), failing the test
  // when it does not exit with 0.
  std::string Python(const std::vector<std::string>& args) {
    std::string out = dir.File("out.txt"), err = dir.File("err.txt");
    pid_t pid = Spawn([&] {
      int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (o < 0 || e < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0 || chdir(dir.path().c_str()) != 0)
        return 98;
      std::vector<std::string> all = {kPython, "-I", dir.File("table.py")};
      all.insert(all.end(), args.begin(), args.end());
      std::vector<char*> argv;
      for (std::string& a : all) argv.push_back(&a[0]);
      argv.push_back(nullptr);
      execv(kPython, argv.data());
      return 97;
    });
    EXPECT_EQ(0, Wait(pid)) << ReadFile(err);
    return ReadFile(out);
  }

  TempDir dir;
  std::string path = dir.File("orders.dbf");
};

TEST_F(DbfInteropTest, TableWrittenByPythonReadsHere) {
  Python({"write", path});
  CDBFOperate t;
  ASSERT_EQ(1, t.Open(path.c_str()));
  EXPECT_EQ(5, t.m_nFieldCount);
  EXPECT_EQ(1 + 8 + 10 + 9 + 8 + 1, t.m_nRecLen);
  ASSERT_EQ(2, t.ReadToBufferFromFile(500));
  ASSERT_EQ(1, t.MoveNext());
  EXPECT_EQ(CString("       1"), t.GetFieldValue("rec_num"));
  EXPECT_EQ(CString("abc       "), t.GetFieldValue("NAME"));
  EXPECT_EQ(CString("     1.50"), t.GetFieldValue("QTY"));
  EXPECT_EQ(CString("20261207"), t.GetFieldValue("DAY"));
  EXPECT_EQ(CString("T"), t.GetFieldValue("OK"));
  ASSERT_EQ(1, t.MoveNext());
  EXPECT_EQ(CString("\xB3\xC9\xB9\xA6      "), t.GetFieldValue("NAME"));  // 成功 in GBK
  EXPECT_EQ(CString("    -3.25"), t.GetFieldValue("QTY"));
  EXPECT_EQ(CString("F"), t.GetFieldValue("OK"));
  EXPECT_EQ(0, t.MoveNext());
}

TEST_F(DbfInteropTest, RecordsAppendedHereReadInPythonAndBack) {
  Python({"write", path});
  CDBFOperate t;
  ASSERT_EQ(1, t.Open(path.c_str()));
  std::string recs = std::string(" ") + std::string(8, ' ') + "\xB9\xC9\xC6\xB1      " +  // 股票
                     "    12.00" + "20261208" + "T" + std::string(" ") + std::string(8, ' ') +
                     "xyz       " + "     0.01" + "20261209" + "F";
  ASSERT_EQ(static_cast<size_t>(2 * t.m_nRecLen), recs.size());
  ASSERT_EQ(1, t.AddNewRecord(&recs[0], 2, "WTK"));
  EXPECT_EQ(
      "4\n"
      "1|abc|1.50|2026-12-07|True\n"
      "2|\xE6\x88\x90\xE5\x8A\x9F|-3.25|None|False\n"       // 成功 in UTF-8
      "3|\xE8\x82\xA1\xE7\xA5\xA8|12.00|2026-12-08|True\n"  // 股票
      "4|xyz|0.01|2026-12-09|False\n",
      Python({"read", path}));
  // Python appends after us; we follow.
  for (int i = 0; i < 4; ++i) ASSERT_EQ(1, t.MoveNext());
  Python({"append", path, "py"});
  ASSERT_EQ(1, t.ReadToBufferFromFile(500));
  EXPECT_EQ(CString("       5"), t.GetFieldValue(0, "REC_NUM"));
  EXPECT_EQ(CString("py        "), t.GetFieldValue(0, "NAME"));
  EXPECT_EQ(CString("20270102"), t.GetFieldValue(0, "DAY"));
}

}  // namespace
}  // namespace kestal::test
