// The record buffer after block reads: slot k holds record k and every other
// byte is zero, whatever the blocks before it held (other sizes, other record
// lengths, short files, failed reads). Each case compares the whole buffer
// with an image built from the file's bytes.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>

#include "DbfTestUtil.h"
#include "dbf/DBFOperate.h"
#include "support/TestSupport.h"

namespace kestal::test {
namespace {

// A table of n records of the given record length: one field "DATA" that
// fills the record, with text that differs in every byte position.
std::string MakeTable(const std::string& path, int recLen, int n) {
  std::vector<FieldSpec> fields = {{"DATA", 'C', recLen - 1}};
  TableSpec layout{fields};
  for (int i = 0; i < n; ++i) {
    std::string rec(static_cast<size_t>(recLen), ' ');
    for (int b = 1; b < recLen; ++b) rec[b] = static_cast<char>('A' + (i * 7 + b) % 26);
    layout.records.push_back(rec);
  }
  WriteTable(path, layout);
  return path;
}

// The buffer a block read of n records after position pos must leave, from
// the file as it is now: the whole records that the file holds, zeros
// everywhere else (never a part of a record).
std::string ExpectedBuffer(const std::string& path, const CDBFOperate& t, long pos, int n) {
  std::string file = ReadFile(path);
  std::string buf(CDBFOperate::kRecordBufSize, '\0');
  for (int k = 0; k < n; ++k) {
    size_t at = t.m_nHeadLen + static_cast<size_t>(pos + 1 + k) * t.m_nRecLen;
    if (at + t.m_nRecLen > file.size()) break;
    memcpy(&buf[static_cast<size_t>(k) * CDBFOperate::kSlotSize], file.data() + at, t.m_nRecLen);
  }
  return buf;
}

// Writes value over the bytes [from, to) of the record buffer, as a host
// that uses it for scratch space would.
void Scribble(CDBFOperate& t, size_t from, size_t to, char value) {
  memset(t.m_szRecordBuf + from, value, to - from);
}

// Index of the first byte where the buffer differs from expected, or -1.
long FirstDifference(const CDBFOperate& t, const std::string& expected) {
  for (size_t i = 0; i < expected.size(); ++i) {
    if (t.m_szRecordBuf[i] != expected[i]) return static_cast<long>(i);
  }
  return -1;
}

const std::string kEmpty(CDBFOperate::kRecordBufSize, '\0');

class DbfBlockBufferTest : public ::testing::Test {
 protected:
  void TearDown() override { CFile::SetFaultHook({}); }

  // Moves to pos, reads up to count records and checks the whole buffer.
  void ReadAndCheck(const std::string& path, long pos, int count, int expected) {
    ASSERT_EQ(1, t.MoveTo(pos));
    ASSERT_EQ(expected, t.ReadToBufferFromFile(count));
    EXPECT_EQ(-1, FirstDifference(t, ExpectedBuffer(path, t, pos, expected)))
        << "position " << pos << ", count " << count;
  }

  TempDir dir;
  CDBFOperate t;
};

TEST_F(DbfBlockBufferTest, SmallerBlockClearsTheSlotsOfTheLargerOne) {
  std::string path = MakeTable(dir.File("a.dbf"), 56, 700);
  ASSERT_EQ(1, t.Open(path.c_str()));
  ReadAndCheck(path, -1, 500, 500);
  ReadAndCheck(path, 499, 500, 200);
  ReadAndCheck(path, 696, 500, 3);
  ReadAndCheck(path, -1, 1, 1);
  ReadAndCheck(path, 10, 500, 500);
}

TEST_F(DbfBlockBufferTest, AnotherTableClearsWhatTheWiderRecordsLeft) {
  std::string wide = MakeTable(dir.File("wide.dbf"), 512, 600);
  std::string narrow = MakeTable(dir.File("narrow.dbf"), 5, 600);
  std::string middle = MakeTable(dir.File("middle.dbf"), 300, 100);
  ASSERT_EQ(1, t.Open(wide.c_str()));
  ReadAndCheck(wide, -1, 500, 500);
  ASSERT_EQ(1, t.Open(narrow.c_str()));
  ReadAndCheck(narrow, -1, 500, 500);  // the tails of every slot were dirty
  ASSERT_EQ(1, t.Open(middle.c_str()));
  ReadAndCheck(middle, 49, 500, 50);
  ASSERT_EQ(1, t.Open(wide.c_str()));
  ReadAndCheck(wide, 0, 7, 7);
}

TEST_F(DbfBlockBufferTest, FileCutShortLeavesNoStaleBytesInTheSlots) {
  std::string path = MakeTable(dir.File("a.dbf"), 40, 500);
  ASSERT_EQ(1, t.Open(path.c_str()));
  ReadAndCheck(path, -1, 500, 500);
  // The header still counts 500 records; the file now ends inside record 2.
  ASSERT_EQ(0, truncate(path.c_str(), t.m_nHeadLen + 2 * t.m_nRecLen + 17));
  ReadAndCheck(path, -1, 500, 2);
  EXPECT_EQ(-1, t.m_nLastError);
  EXPECT_EQ(0, t.m_szRecordBuf[2 * CDBFOperate::kSlotSize]);
  // Then only the header is left.
  ASSERT_EQ(0, truncate(path.c_str(), t.m_nHeadLen));
  ReadAndCheck(path, 5, 100, 0);
  EXPECT_EQ(-1, FirstDifference(t, kEmpty));
}

// The buffer is public; whatever a host wrote into it between reads is gone
// after the next block read, in the slots read, their tails, and beyond.
TEST_F(DbfBlockBufferTest, WhatTheHostWroteIsClearedByTheNextRead) {
  std::string path = MakeTable(dir.File("a.dbf"), 56, 700);
  ASSERT_EQ(1, t.Open(path.c_str()));
  struct Case {
    size_t from, to;
    long pos;
    int count, expected;
  };
  const size_t all = CDBFOperate::kRecordBufSize;
  const Case cases[] = {
      {0, all, -1, 500, 500},            // everywhere, full block
      {0, all, 698, 500, 1},             // everywhere, one record
      {56, 57, -1, 1, 1},                // the first byte after the first record
      {511, 512, -1, 3, 3},              // the last byte of a slot tail
      {3 * 512, 3 * 512 + 1, -1, 3, 3},  // the first byte after the block
      {all - 1, all, 600, 500, 99},      // the last byte of the buffer
      {200 * 512 + 100, 300 * 512, 650, 50, 49},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.from) + ".." + std::to_string(c.to));
    Scribble(t, c.from, c.to, '\x5A');
    ReadAndCheck(path, c.pos, c.count, c.expected);
  }
}

TEST_F(DbfBlockBufferTest, FailedReadLeavesAnEmptyBufferAndTheNextReadIsWhole) {
  for (const char* operation : {"seek", "read"}) {
    SCOPED_TRACE(operation);
    std::string path = MakeTable(dir.File(std::string(operation) + ".dbf"), 512, 520);
    ASSERT_EQ(1, t.Open(path.c_str()));
    ReadAndCheck(path, -1, 500, 500);
    ASSERT_EQ(1, t.MoveNext());
    CFile::SetFaultHook([operation](const char* op, const CString&) {
      return strcmp(op, operation) == 0 ? EIO : 0;
    });
    EXPECT_EQ(0, t.ReadToBufferFromFile(3));
    CFile::SetFaultHook({});
    EXPECT_EQ(-1, t.m_nLastError);
    EXPECT_NE(-1, t.GetLastErrorMsg().Find(operation)) << t.GetLastErrorMsg().c_str();
    EXPECT_EQ(-1, t.m_nBufferPos);
    EXPECT_EQ(-1, FirstDifference(t, kEmpty));
    EXPECT_EQ(CString(""), t.GetFieldValue(0, "DATA"));
    EXPECT_EQ(CString("1"), t.GetCurrentPos());  // the read can simply be repeated
    ASSERT_EQ(3, t.ReadToBufferFromFile(3));
    EXPECT_EQ(-1, FirstDifference(t, ExpectedBuffer(path, t, 0, 3)));
    EXPECT_EQ(0, t.m_nLastError);
  }
}

// The read buffer is taken from the heap at the first block read. In a child
// process whose address space is capped just above what it uses, that read
// fails like a file error and leaves the object usable once memory is back.
TEST_F(DbfBlockBufferTest, NoMemoryForTheFirstReadFailsOnlyThatRead) {
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "AddressSanitizer reserves address space beyond any cap";
#endif
  std::string path = MakeTable(dir.File("a.dbf"), 56, 10);
  pid_t child = Spawn([&] {
    auto reader = std::make_unique<CDBFOperate>();
    if (reader->Open(path.c_str()) != 1) return 1;
    unsigned long pages = 0;
    FILE* statm = fopen("/proc/self/statm", "r");
    if (statm == nullptr || fscanf(statm, "%lu", &pages) != 1) return 2;
    fclose(statm);
    struct rlimit old;
    if (getrlimit(RLIMIT_AS, &old) != 0) return 3;
    struct rlimit capped = old;
    capped.rlim_cur = pages * static_cast<unsigned long>(sysconf(_SC_PAGESIZE)) + 64 * 1024;
    if (setrlimit(RLIMIT_AS, &capped) != 0) return 4;
    // Free blocks the heap already holds could serve the buffer; take them.
    void* hog[4096];
    size_t hogs = 0;
    while (hogs < 4096 && (hog[hogs] = malloc(CDBFOperate::kRecordBufSize)) != nullptr) ++hogs;
    if (hogs == 4096) return 11;
    const int n = reader->ReadToBufferFromFile(3);
    const int error = reader->m_nLastError;
    for (size_t i = 0; i < hogs; ++i) free(hog[i]);
    if (setrlimit(RLIMIT_AS, &old) != 0) return 5;
    if (n != 0 || error != -1) return 6;
    if (reader->GetLastErrorMsg().Find(strerror(ENOMEM)) < 0) return 7;
    if (FirstDifference(*reader, kEmpty) != -1) return 8;
    if (reader->ReadToBufferFromFile(3) != 3 || reader->m_nLastError != 0) return 9;
    return FirstDifference(*reader, ExpectedBuffer(path, *reader, -1, 3)) == -1 ? 0 : 10;
  });
  EXPECT_EQ(0, Wait(child));
}

// Random block reads over tables of several record lengths, some of them
// shorter than their header says, reopened in turn through one object and
// with read faults now and then: after each read the buffer must equal the
// image built from the file.
TEST_F(DbfBlockBufferTest, RandomReadsAlwaysLeaveTheExactImage) {
  struct Table {
    std::string path;
    int count;  // the header's
    int held;   // whole records in the file
  };
  std::vector<Table> tables;
  const int lengths[] = {1, 5, 56, 255, 511, 512};
  for (int recLen : lengths) {
    std::string path = dir.File("t" + std::to_string(recLen) + ".dbf");
    MakeTable(path, recLen, 800);
    tables.push_back({path, 800, 800});
  }
  // The last table keeps its header count but loses its last 300 records
  // and part of one more.
  CDBFOperate probe;
  ASSERT_EQ(1, probe.Open(tables.back().path.c_str()));
  ASSERT_EQ(0, truncate(tables.back().path.c_str(), probe.m_nHeadLen + 500L * 512 - 100));
  tables.back().held = 499;

  std::mt19937 random(20261207);
  int current = -1;
  for (int step = 0; step < 400; ++step) {
    if (current < 0 || random() % 5 == 0) {
      current = static_cast<int>(random() % tables.size());
      ASSERT_EQ(1, t.Open(tables[current].path.c_str()));
    }
    const Table& table = tables[current];
    long pos = static_cast<long>(random() % (table.count + 1)) - 1;
    int count = random() % 3 == 0 ? 500 : static_cast<int>(random() % 500) + 1;
    ASSERT_EQ(1, t.MoveTo(pos)) << step;
    if (random() % 4 == 0) {  // the host writes somewhere in the buffer
      size_t from = random() % CDBFOperate::kRecordBufSize;
      Scribble(t, from, std::min<size_t>(CDBFOperate::kRecordBufSize, from + random() % 3000),
               static_cast<char>(random() % 255 + 1));
    }
    int expected = static_cast<int>(std::min<long>(
        {static_cast<long>(count), table.count - pos - 1, std::max(0L, table.held - pos - 1)}));
    // Now and then the block read fails. The request is kept within the
    // cached count so that the count is not read (a failing count read is
    // retried for seconds).
    int covered = static_cast<int>(std::min<long>(count, table.count - pos - 2));
    if (random() % 10 == 0 && covered > 0) {
      CFile::SetFaultHook(
          [](const char* op, const CString&) { return strcmp(op, "read") == 0 ? EIO : 0; });
      EXPECT_EQ(0, t.ReadToBufferFromFile(covered)) << step;
      CFile::SetFaultHook({});
      ASSERT_EQ(-1, FirstDifference(t, kEmpty)) << step;
      continue;
    }
    ASSERT_EQ(expected > 0 ? expected : 0, t.ReadToBufferFromFile(count)) << step;
    if (expected <= 0) continue;
    ASSERT_EQ(-1, FirstDifference(t, ExpectedBuffer(table.path, t, pos, expected)))
        << "step " << step << ", table " << table.path << ", position " << pos << ", count "
        << count;
  }
}

}  // namespace
}  // namespace kestal::test
