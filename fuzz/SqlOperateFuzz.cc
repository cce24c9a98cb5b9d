// Fuzz target: the paths of CSQLOperate that take the host's text, on an
// SQLite database: record images inserted and read back as images, window
// filters (GetRecordsetForBack), rescans with time bounds and filters
// (GetRecordsetForBackRescan), and the filter cleanup they share. Rows go in
// by single inserts, as one batch of statements, or through the bulk-load
// file.
//
// What must hold: an image whose text is ASCII comes back from the block read
// byte for byte (integers as atol reads them), and no value read from an
// image is longer than its field; a window returns at most the rows asked
// for, in key order, above the start key, exactly the table's rows when no
// filter narrows it; a gap is reported with its text; no row limit outlives
// a call; the filter cleanup keeps no LONGTODAY clause, no brace and no
// double quote, and leaves a condition without them as it was.
//
// Filters are host text put into statements as they stand; ';' is taken out
// of them here so that a filter cannot end its statement and run another
// (which could drop the fixture's table).
#include <fuzzer/FuzzedDataProvider.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "platform/Codepage.h"
#include "sql/SQLOperate.h"

// Reaches the private filter cleanup; the class is declared a friend of
// CSQLOperate for this purpose.
class CSQLOperateCoreProbe {
 public:
  static CString FormatSQL(CSQLOperate& o, const CString& condition) {
    CString out;
    o.FormatSQL(out, condition);
    return out;
  }
};

namespace {

using kestal::fuzz::ScratchDir;

struct Column {
  const char* name;
  int width;
  bool integer;
};
// The table as syscolumns gives it: int columns are 8 bytes in an image.
const Column kColumns[] = {{"rec_num", 8, true}, {"stock", 6, false},  {"name", 8, false},
                           {"cjsj", 8, false},   {"price", 10, false}, {"qty", 8, true},
                           {"bs", 1, false}};
constexpr int kColumnCount = sizeof kColumns / sizeof kColumns[0];
constexpr int kRecordLength = 49;
constexpr int kMaxRows = 12;

std::string Num(long long v) {
  return std::to_string(v);
}

// The fixture: one database file and one open object for the whole run.
struct Fixture {
  sqlite3* db = nullptr;  // a second connection, for resetting the table
  CSQLOperate op;
  Fixture() {
    const std::string path = ScratchDir() + "/trade.db";
    FUZZ_CHECK(sqlite3_open(path.c_str(), &db) == SQLITE_OK, "create the database");
    const char* schema =
        "PRAGMA journal_mode=WAL;"
        "CREATE TABLE CJK (rec_num int, stock varchar(6), name varchar(8), cjsj varchar(8), "
        "price varchar(10), qty int, bs varchar(1));";
    FUZZ_CHECK(sqlite3_exec(db, schema, nullptr, nullptr, nullptr) == SQLITE_OK,
               sqlite3_errmsg(db));
    sqlite3_busy_timeout(db, 5000);
    const std::string connect = "Provider=SQLite;Data Source=" + path;
    FUZZ_CHECK(op.Open(connect.c_str(), "CJK") == 1, "open the table");
    // The bulk-load file goes to <working folder>/log/: the scratch folder.
    const std::string log = ScratchDir() + "/log";
    FUZZ_CHECK(mkdir(log.c_str(), 0700) == 0, "mkdir " + log);
    FUZZ_CHECK(ScratchDir().size() < sizeof op.m_szCurrentDir, "scratch folder name too long");
    snprintf(op.m_szCurrentDir, sizeof op.m_szCurrentDir, "%s", ScratchDir().c_str());
    FUZZ_CHECK(op.AllocOrderBuff() == 1, "order buffer");
    FUZZ_CHECK(op.m_nFieldCount == kColumnCount, "field count " + Num(op.m_nFieldCount));
    for (int i = 0; i < kColumnCount; ++i) {
      FUZZ_CHECK(op.m_FieldInfo[i].nWidth == kColumns[i].width,
                 std::string("width of ") + kColumns[i].name);
    }
  }
};

Fixture& Get() {
  static Fixture* fixture = new Fixture;  // lives to the end of the process
  return *fixture;
}

// The value the block read gives for field i of image: the integer as atol
// reads it, or the text up to its width and first NUL.
std::string ExpectedValue(const char* image, int i, int offset) {
  const Column& c = kColumns[i];
  std::string text(image + offset, strnlen(image + offset, c.width));
  if (!c.integer) return text;
  long v = strtol(text.c_str(), nullptr, 10);
  v = v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : v;
  return Num(v);
}

bool IsAsciiText(const char* p, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (p[i] == 0 || static_cast<unsigned char>(p[i]) >= 0x80) return false;
  }
  return true;
}

// True when a text field of image is empty (its first byte is NUL).
bool HasEmptyText(const char* image) {
  int offset = 0;
  for (const Column& c : kColumns) {
    if (!c.integer && image[offset] == '\0') return true;
    offset += c.width;
  }
  return false;
}

// The table's rows as text, for messages.
std::string TableDump(sqlite3* db) {
  std::string out;
  sqlite3_exec(
      db, "SELECT quote(rec_num), quote(stock), quote(name), quote(qty), quote(bs) FROM CJK",
      [](void* text, int n, char** values, char**) {
        auto* s = static_cast<std::string*>(text);
        *s += "(";
        for (int i = 0; i < n; ++i) *s += std::string(values[i] ? values[i] : "NULL") + " ";
        *s += ")";
        return 0;
      },
      &out, nullptr);
  return out;
}

// True when no text field of image (up to its first NUL) holds ',', CR or
// LF, which the bulk-load file cannot carry.
bool FitsBulkLine(const char* image) {
  int offset = 0;
  for (const Column& c : kColumns) {
    const size_t n = strnlen(image + offset, c.width);
    if (!c.integer && std::string(image + offset, n).find_first_of(",\r\n") != std::string::npos) {
      return false;
    }
    offset += c.width;
  }
  return true;
}

// The filter cleanup on text. Braces and quotes are characters of their own
// only outside a double-byte character of the process code page (a GBK
// trail byte may be '{' or '"'), and LONGTODAY is found as the library
// finds text, on character boundaries.
void CheckFormatSql(CSQLOperate& op, const std::string& condition) {
  const std::string out = CSQLOperateCoreProbe::FormatSQL(op, condition).c_str();
  const bool today = CString(condition).Find("LONGTODAY") >= 0;
  FUZZ_CHECK(!today || CString(out).Find("LONGTODAY") < 0, "a LONGTODAY clause was kept: " + out);
  FUZZ_CHECK(out.size() <= condition.size(), "cleanup grew the condition: " + out);
  const kestal::ByteClasses& chars = kestal::ProcessByteClasses();
  for (size_t at = 0; at < out.size();) {
    const size_t n = chars.CharLength(out.data(), out.size(), at);
    FUZZ_CHECK(n == 2 || (out[at] != '{' && out[at] != '}' && out[at] != '"'),
               "braces or quotes left at byte " + Num(at) + ": " + out);
    at += n;
  }
  if (!today) {
    std::string same = condition;
    for (size_t at = 0; at < same.size();) {
      const size_t n = chars.CharLength(same.data(), same.size(), at);
      char& c = same[at];
      if (n == 1) c = c == '{' ? '(' : c == '}' ? ')' : c == '"' ? '\'' : c;
      at += n;
    }
    FUZZ_CHECK(out == same, "a condition without LONGTODAY changed: " + out);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  Fixture& fx = Get();
  CSQLOperate& op = fx.op;
  FuzzedDataProvider in(data, size);
  const uint8_t flags = in.ConsumeIntegral<uint8_t>();
  std::string filter = in.ConsumeRandomLengthString(160);
  const int fromKey = in.ConsumeIntegralInRange<int>(-3, kMaxRows + 2);
  const int want = in.ConsumeIntegralInRange<int>(1, 120);
  std::string fromTime = in.ConsumeRandomLengthString(12);
  std::string toTime = in.ConsumeRandomLengthString(12);
  std::string images = in.ConsumeRemainingBytesAsString();
  for (std::string* s : {&filter, &fromTime, &toTime}) {
    std::string kept;
    for (char c : *s) {
      if (c != ';' && c != '\0') kept += c;
    }
    *s = kept;
  }

  CheckFormatSql(op, filter);

  // The rows, by single inserts, one batch of statements, or the bulk-load
  // file (flags bits 2-3); numbered 1, 2, ... unless the input keeps its own
  // numbers (flags bit 0). The bulk-load form refuses a text holding ',', CR
  // or LF; those images are left out and the numbers close up.
  FUZZ_CHECK(sqlite3_exec(fx.db, "DELETE FROM CJK", nullptr, nullptr, nullptr) == SQLITE_OK,
             sqlite3_errmsg(fx.db));
  const int how = (flags >> 2) % 3;
  const int offered = std::min<int>(kMaxRows, static_cast<int>(images.size() / kRecordLength));
  std::string accepted;
  op.BuffInit();
  for (int r = 0; r < offered; ++r) {
    std::string image = images.substr(static_cast<size_t>(r) * kRecordLength, kRecordLength);
    const int rows = static_cast<int>(accepted.size() / kRecordLength);
    if (!(flags & 1)) {
      char number[16];
      snprintf(number, sizeof number, "%8d", rows + 1);
      memcpy(&image[0], number, 8);
    }
    const std::string before = image;
    if (how == 0) {
      FUZZ_CHECK(op.AddNewRecordBase(image.data(), 0, 1, 0, 0) == 1, "insert of row " + Num(r));
    } else {
      const int added = op.AddInsertRecordToBuff(image.data(), how == 1 ? 0 : 2, 0);
      const bool refused = how == 2 && !FitsBulkLine(image.data());
      FUZZ_CHECK(added == (refused ? 0 : 1), "buffering row " + Num(r) + " gave " + Num(added));
      if (refused) continue;
    }
    FUZZ_CHECK(image == before, "the insert changed the caller's image");
    accepted += image;
  }
  if (how != 0 && !accepted.empty()) {
    FUZZ_CHECK(op.ExecBatchInsert(1, how == 1 ? 0 : 2, "fuzz") == 1,
               "batch of " + Num(accepted.size() / kRecordLength) + " rows failed");
  }
  images = accepted;
  const int rows = static_cast<int>(accepted.size() / kRecordLength);

  // Block read: every row back as an image, in insertion order.
  op.m_lReadNum = INT_MIN;
  const int got = op.ReadToBufferFromDB(100);
  // The bulk-load file gives NULL for an empty field, as BULK INSERT does,
  // and a NULL fails the block read.
  bool nulls = false;
  for (int r = 0; r < rows && how == 2; ++r)
    nulls = nulls || HasEmptyText(&images[r * kRecordLength]);
  if (!(flags & 1) && !nulls) {
    FUZZ_CHECK(got == rows, "block read gave " + Num(got) + " of " + Num(rows) +
                                "; the table holds " + TableDump(fx.db));
  }
  for (int r = 0; r < got; ++r) {
    const char* image = images.data() + static_cast<size_t>(r) * kRecordLength;
    int offset = 0;
    for (int i = 0; i < kColumnCount; ++i) {
      const CString value = op.GetFieldValue(r, kColumns[i].name);
      FUZZ_CHECK(value.GetLength() <= kColumns[i].width,
                 std::string(kColumns[i].name) + " is " + Num(value.GetLength()) + " bytes");
      if (!(flags & 1) && (kColumns[i].integer || IsAsciiText(image + offset, kColumns[i].width))) {
        FUZZ_CHECK(std::string(value.c_str()) == ExpectedValue(image, i, offset),
                   std::string("row ") + Num(r) + " " + kColumns[i].name + " reads back as [" +
                       value.c_str() + "]");
      }
      offset += kColumns[i].width;
    }
  }

  // Window fetch by rec_num.
  op.m_lCnt = 0;
  op.m_nRetryCount = 0;
  const int n = op.GetRecordsetForBack(filter, Num(fromKey), want, "CJK");
  if (n == CSQLOperate::kGapCode) {
    FUZZ_CHECK(!op.m_strGapInfo.IsEmpty(), "a gap without its text");
  } else {
    FUZZ_CHECK(n >= -1 && n <= want, "window of " + Num(want) + " gave " + Num(n));
    if (!(flags & 1) && filter.empty()) {
      // Rows fromKey+1 .. min(rows, fromKey + max(100, want)), at most want.
      const long long first = std::max(fromKey + 1, 1);
      const long long last = std::min<long long>(rows, fromKey + std::max(100, want));
      const long long expect = std::max(0LL, std::min<long long>(last - first + 1, want));
      FUZZ_CHECK(n == expect, "unfiltered window gave " + Num(n) + ", expected " + Num(expect));
    }
    long long previous = fromKey;
    for (int k = 0; k < n; ++k) {
      FUZZ_CHECK(op.SeekToCurrentPos() == 1, "row " + Num(k) + " of the window cannot be placed");
      const long long key = atoll(op.GetFieldValue(CString("rec_num")).c_str());
      // Above the start key, in key order; the input's own numbers may repeat.
      const bool ordered = k > 0 && (flags & 1) ? key >= previous : key > previous;
      FUZZ_CHECK(ordered, "key " + Num(key) + " after " + Num(previous));
      previous = key;
      op.MoveNextEx();
    }
  }
  op.m_lCnt = 0;
  op.m_nRetryCount = 0;

  // Rescan by the time bounds and filter.
  const int rescanned = op.GetRecordsetForBackRescan(flags & 2 ? 1 : 0, filter, fromTime, toTime);
  FUZZ_CHECK(rescanned >= -1 && rescanned <= rows, "rescan gave " + Num(rescanned));
  op.m_lCnt = 0;

  // No row limit is left behind: a second block read sees every row again.
  op.m_lReadNum = INT_MIN;
  FUZZ_CHECK(op.ReadToBufferFromDB(100) == got, "a row limit outlived the window or rescan");
  return 0;
}
