// Several processes on one table file: appenders and followers at once, and
// appenders killed in the middle of their work.
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

#include "DbfTestUtil.h"
#include "dbf/DBFOperate.h"
#include "support/TestSupport.h"

namespace kestal::test {
namespace {

// REC_NUM is stamped by the library; CHECK covers every other field, so a
// follower can tell a torn or foreign record from the one that was written.
const std::vector<FieldSpec> kFields = {{"REC_NUM", 'N', 8},
                                        {"WRITER", 'N', 2},
                                        {"SEQ", 'N', 6},
                                        {"PAYLOAD", 'C', 24},
                                        {"CHECK", 'N', 10}};

std::string Payload(int writer, int seq) {
  char text[32];
  snprintf(text, sizeof text, "w%d-s%d-%08x", writer, seq,
           static_cast<unsigned>(writer * 2654435761u ^ seq * 40503u));
  return text;
}

std::string Checksum(const std::string& text) {
  uint32_t h = 2166136261u;
  for (unsigned char c : text) h = (h ^ c) * 16777619u;
  return std::to_string(h % 1000000000u);
}

std::string MakeRecord(int writer, int seq) {
  std::string w = std::to_string(writer), s = std::to_string(seq), p = Payload(writer, seq);
  return Record(kFields, {"", w, s, p, Checksum(w + s + p)});
}

// Batch b of writer w: 1 to 9 records.
int BatchSize(int writer, int batch) {
  return 1 + (batch * 7 + writer) % 9;
}

CString Trimmed(CString text) {
  text.Trim();
  return text;
}

// Follows path until total records were read, checking each one; with
// tight set it polls again at once, without yielding. Returns 0, or a code
// naming the first fault; details go to report.
int Follow(const std::string& path, int writers, int total, const std::string& report,
           bool tight = false) {
  FILE* out = fopen(report.c_str(), "w");
  if (out == nullptr) return 20;
  CDBFOperate table;
  if (table.Open(path.c_str()) != 1) return 21;
  std::vector<int> nextSeq(static_cast<size_t>(writers), 0);
  int seen = 0;
  long long deadline = NowMs() + 90000;
  while (seen < total) {
    if (NowMs() > deadline) return 10;
    int n = table.ReadToBufferFromFile(500);
    if (n == 0) {
      if (!tight) sched_yield();
      continue;
    }
    for (int k = 0; k < n; ++k) {
      if (table.MoveNext() != 1) return 14;
      ++seen;
      CString rec = Trimmed(table.GetFieldValue("REC_NUM"));
      if (atoi(rec.c_str()) != seen) {
        fprintf(out, "record %d has REC_NUM '%s'\n", seen, rec.c_str());
        return 11;
      }
      CString w = Trimmed(table.GetFieldValue("WRITER"));
      CString s = Trimmed(table.GetFieldValue("SEQ"));
      CString p = Trimmed(table.GetFieldValue("PAYLOAD"));
      CString c = Trimmed(table.GetFieldValue("CHECK"));
      int writer = atoi(w.c_str()), seq = atoi(s.c_str());
      if (c.str() != Checksum(w.str() + s.str() + p.str()) || writer < 0 || writer >= writers ||
          p.str() != Payload(writer, seq)) {
        fprintf(out, "record %d is damaged: %s\n", seen, table.m_szRecordBuf + 512 * k);
        return 13;
      }
      if (seq != nextSeq[static_cast<size_t>(writer)]++) {
        fprintf(out, "record %d: writer %d seq %d out of order\n", seen, writer, seq);
        return 12;
      }
    }
  }
  if (table.GetTotalRecord() != CString(std::to_string(total).c_str())) return 15;
  fprintf(out, "read %d\n", seen);
  fclose(out);
  return 0;
}

TEST(DbfProcessTest, FollowersReadEveryAppendedRecordOnceInOrder) {
  constexpr int kWriters = 3, kFollowers = 2, kBatches = 60;
  TempDir dir;
  std::string path = dir.File("wtk.dbf");
  WriteTable(path, {kFields, {}});
  int total = 0;
  for (int w = 0; w < kWriters; ++w)
    for (int b = 0; b < kBatches; ++b) total += BatchSize(w, b);

  std::vector<pid_t> followers;
  for (int f = 0; f < kFollowers; ++f) {
    std::string report = dir.File("follower" + std::to_string(f));
    followers.push_back(Spawn([=] { return Follow(path, kWriters, total, report); }));
  }
  std::vector<pid_t> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.push_back(Spawn([=] {
      CDBFOperate table;
      if (table.Open(path.c_str()) != 1) return 1;
      int seq = 0;
      for (int b = 0; b < kBatches; ++b) {
        std::string recs;
        for (int i = 0; i < BatchSize(w, b); ++i) recs += MakeRecord(w, seq++);
        if (table.AddNewRecord(&recs[0], BatchSize(w, b), "WTK") != 1) return 2;
        if (b % 8 == 0) usleep(1000);  // let the others interleave
      }
      return 0;
    }));
  }
  for (pid_t pid : writers) EXPECT_EQ(0, Wait(pid));
  for (int f = 0; f < kFollowers; ++f) {
    EXPECT_EQ(0, Wait(followers[static_cast<size_t>(f)]))
        << ReadFile(dir.File("follower" + std::to_string(f)));
  }
  EXPECT_EQ(total, HeaderCount(path));

  // The file itself: REC_NUM 1 to the count, each once, marker at the end.
  std::string bytes = ReadFile(path);
  const size_t head = 32 + 32 * kFields.size() + 1, len = RecordLength(kFields);
  ASSERT_EQ(head + total * len + 1, bytes.size());
  EXPECT_EQ('\x1A', bytes.back());
  for (int i = 0; i < total; ++i) {
    ASSERT_EQ(i + 1, atoi(bytes.substr(head + i * len + 1, 8).c_str())) << i;
  }
}

// Followers that poll the count without any pause never hold an appender
// up: they take no lock, so with eight of them on a loaded machine every
// append still lands at once, and each follower still sees only complete
// records, in order.
TEST(DbfProcessTest, TightPollingFollowersNeverDelayAnAppend) {
  constexpr int kWriters = 2, kFollowers = 8, kBatches = 150;
  constexpr long long kSlowestAppendMs = 1000;  // a blocked append took 12 s
  TempDir dir;
  std::string path = dir.File("wtk.dbf");
  WriteTable(path, {kFields, {}});
  int total = 0;
  for (int w = 0; w < kWriters; ++w)
    for (int b = 0; b < kBatches; ++b) total += BatchSize(w, b);

  std::vector<pid_t> followers;
  for (int f = 0; f < kFollowers; ++f) {
    std::string report = dir.File("follower" + std::to_string(f));
    followers.push_back(Spawn([=] { return Follow(path, kWriters, total, report, true); }));
  }
  usleep(200 * 1000);  // the followers are polling before the first append
  std::vector<pid_t> writers;
  for (int w = 0; w < kWriters; ++w) {
    std::string report = dir.File("writer" + std::to_string(w));
    writers.push_back(Spawn([=] {
      CDBFOperate table;
      if (table.Open(path.c_str()) != 1) return 1;
      int seq = 0;
      long long slowest = 0;
      for (int b = 0; b < kBatches; ++b) {
        std::string recs;
        for (int i = 0; i < BatchSize(w, b); ++i) recs += MakeRecord(w, seq++);
        long long start = NowMs();
        if (table.AddNewRecord(&recs[0], BatchSize(w, b), "WTK") != 1) return 2;
        slowest = std::max(slowest, NowMs() - start);
      }
      WriteFile(report, std::to_string(slowest));
      return slowest < kSlowestAppendMs ? 0 : 3;
    }));
  }
  for (int w = 0; w < kWriters; ++w) {
    EXPECT_EQ(0, Wait(writers[static_cast<size_t>(w)]))
        << "slowest append " << ReadFile(dir.File("writer" + std::to_string(w))) << " ms";
  }
  for (int f = 0; f < kFollowers; ++f) {
    EXPECT_EQ(0, Wait(followers[static_cast<size_t>(f)]))
        << ReadFile(dir.File("follower" + std::to_string(f)));
  }
  EXPECT_EQ(total, HeaderCount(path));
}

// Writes records the way an appender does, holding the lock, then signals
// through fd and waits to be killed before it would write the count.
int AppendUntilKilled(const std::string& path, int fd, int records) {
  CFile file;
  file.Open(path.c_str(), CDBFOperate::kOpenFlags);
  file.LockRange(4, 4);
  unsigned char count[4];
  file.Seek(4, CFile::begin);
  file.Read(count, 4);
  int32_t old = count[0] | count[1] << 8 | count[2] << 16 | count[3] << 24;
  const size_t head = 32 + 32 * kFields.size() + 1, len = RecordLength(kFields);
  std::string recs;
  for (int i = 0; i < records; ++i) recs += MakeRecord(9, 1000 + i);
  file.Seek(static_cast<int64_t>(head + old * len), CFile::begin);
  file.Write(recs.data(), recs.size());
  char marker = 0x1A;
  file.Write(&marker, 1);
  char ready = 'r';
  if (write(fd, &ready, 1) != 1) return 1;
  for (;;) pause();
}

TEST(DbfProcessTest, RecordsOfAKilledAppenderStayUncountedAndAreOverwritten) {
  TempDir dir;
  std::string path = dir.File("wtk.dbf");
  WriteTable(path, {kFields, {MakeRecord(0, 0), MakeRecord(0, 1)}});
  CDBFOperate reader;
  ASSERT_EQ(1, reader.Open(path.c_str()));
  ASSERT_EQ(2, reader.ReadToBufferFromFile(500));
  reader.MoveNext();
  reader.MoveNext();

  int fds[2];
  ASSERT_EQ(0, pipe(fds));
  pid_t child = Spawn([&] { return AppendUntilKilled(path, fds[1], 3); });
  char ready = 0;
  ASSERT_EQ(1, read(fds[0], &ready, 1));
  close(fds[0]);
  close(fds[1]);
  std::string ghost = ReadFile(path);
  const size_t len = RecordLength(kFields);
  ASSERT_EQ(reader.m_nHeadLen + 5 * len + 1, ghost.size());  // written, not counted
  Kill(child);

  EXPECT_EQ(2, HeaderCount(path));
  EXPECT_EQ(CString("2"), reader.GetTotalRecord());
  EXPECT_EQ(0, reader.ReadToBufferFromFile(500));
  EXPECT_EQ(0, reader.MoveNext());

  // The dead appender's lock went with it: the next append gets it at once.
  CDBFOperate writer;
  ASSERT_EQ(1, writer.Open(path.c_str()));
  std::string recs = MakeRecord(1, 0) + MakeRecord(1, 1) + MakeRecord(1, 2);
  long long start = NowMs();
  ASSERT_EQ(1, writer.AddNewRecord(&recs[0], 3, "WTK"));
  EXPECT_LT(NowMs() - start, 1000);
  EXPECT_EQ(5, HeaderCount(path));
  ASSERT_EQ(3, reader.ReadToBufferFromFile(500));
  for (int k = 0; k < 3; ++k) {
    ASSERT_EQ(1, reader.MoveNext());
    EXPECT_EQ(CString(" 1"), reader.GetFieldValue("WRITER"));
    EXPECT_EQ(CString(std::to_string(k + 3).c_str()), Trimmed(reader.GetFieldValue("REC_NUM")));
  }
}

TEST(DbfProcessTest, AppendersKilledAtRandomLeaveACountedPrefixIntact) {
  TempDir dir;
  std::string path = dir.File("wtk.dbf");
  WriteTable(path, {kFields, {}});
  std::mt19937 random(7);
  int survivorSeq = 0;
  for (int round = 0; round < 6; ++round) {
    pid_t child = Spawn([&] {
      CDBFOperate table;
      if (table.Open(path.c_str()) != 1) return 1;
      std::string recs;
      for (int i = 0; i < 400; ++i) recs += MakeRecord(2, i);
      for (;;) {
        std::string batch = recs;
        if (table.AddNewRecord(&batch[0], 400, "WTK") != 1) return 2;
      }
    });
    usleep(2000 + random() % 30000);
    Kill(child);
    // Whatever the moment of death, the counted records are whole and a new
    // append follows them at once.
    CDBFOperate table;
    ASSERT_EQ(1, table.Open(path.c_str()));
    std::string one = MakeRecord(3, survivorSeq++);
    long long start = NowMs();
    ASSERT_EQ(1, table.AddNewRecord(&one[0], 1, "WTK"));
    EXPECT_LT(NowMs() - start, 1000);
  }
  std::string bytes = ReadFile(path);
  const size_t head = 32 + 32 * kFields.size() + 1, len = RecordLength(kFields);
  int32_t count = HeaderCount(path);
  ASSERT_GE(bytes.size(), head + count * len + 1);
  EXPECT_EQ('\x1A', bytes[head + count * len]);
  int survivors = 0;
  for (int i = 0; i < count; ++i) {
    std::string rec = bytes.substr(head + i * len, len);
    ASSERT_EQ(i + 1, atoi(rec.substr(1, 8).c_str())) << i;
    std::string w = rec.substr(9, 2), s = rec.substr(11, 6), p = rec.substr(17, 24);
    auto trim = [](std::string t) { return std::string(Trimmed(CString(t)).str()); };
    ASSERT_EQ(trim(rec.substr(41, 10)), Checksum(trim(w) + trim(s) + trim(p))) << i;
    if (trim(w) == "3") {
      ASSERT_EQ(survivors++, atoi(s.c_str()));
    }
  }
  EXPECT_EQ(6, survivors);
}

}  // namespace
}  // namespace kestal::test
