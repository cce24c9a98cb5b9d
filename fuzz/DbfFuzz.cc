// Fuzz target: table files through CDBFOperate. The input is a file image
// and a short script of operations run on it: block reads, navigation, field
// values, and the file cut, grown or given another count under the open
// object, as a crashed or hostile writer would leave it. Then a batch is
// appended to a copy of the file.
//
// Input: byte 0 = n, bytes 1..n = the script, the rest = the file image.
//
// What must hold, besides "no crash": a block read returns no more records
// than asked for or counted and only whole records the file holds, its slots
// hold exactly the file's bytes and every other byte of the buffer is zero; a field
// value is the slot's bytes up to the first NUL and never longer than the
// field; navigation moves exactly as the count allows; the count is the
// header's; an append writes its records where the count said, numbers them
// for "WTK", and a fresh reader then reads them back.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "dbf/DBFOperate.h"
#include "fuzz/FuzzSupport.h"
#include "platform/Mbcs.h"

using kestal::fuzz::ReadWholeFile;
using kestal::fuzz::ScratchDir;
using kestal::fuzz::WriteWholeFile;

namespace {

// The file never shrinks below the 8 bytes that hold the count, so that the
// count every check compares with is always the header's.
constexpr size_t kMinFileSize = 8;
constexpr size_t kMaxFileSize = 1 << 20;

constexpr size_t kSlot = CDBFOperate::kSlotSize;

int32_t GetInt32(const std::string& file, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(file[at + i]);
  return static_cast<int32_t>(v);
}

void PutInt32(std::string& file, size_t at, int32_t value) {
  uint32_t v = static_cast<uint32_t>(value);
  for (int i = 0; i < 4; ++i) file[at + i] = static_cast<char>(v >> (8 * i));
}

std::string Num(long long v) {
  return std::to_string(v);
}

// The operations script, read a byte at a time; 0 once it is used up.
struct Script {
  const uint8_t* p;
  size_t n;
  size_t i = 0;
  bool More() const { return i < n; }
  uint8_t Byte() { return i < n ? p[i++] : 0; }
  int32_t Int32() {
    uint32_t v = 0;
    for (int k = 0; k < 4; ++k) v = v << 8 | Byte();
    return static_cast<int32_t>(v);
  }
};

// The table under test with a model of what the file holds.
class Harness {
 public:
  Harness(std::string path, std::string image)
      : path_(std::move(path)), file_(std::move(image)), dbf_(new CDBFOperate) {}

  // Opens the file; false when Open refused it (then with a reason).
  bool Open() {
    WriteWholeFile(path_, file_.data(), file_.size());
    const bool servable = Servable();
    if (dbf_->Open(path_.c_str()) != 1) {
      FUZZ_CHECK(!dbf_->GetLastErrorMsg().IsEmpty(), "a refused file gives no reason");
      FUZZ_CHECK(!servable, "a sound file was refused: " + dbf_->GetLastErrorMsg());
      return false;
    }
    FUZZ_CHECK(servable, "a file that cannot be served safely was opened");
    const CDBFOperate& t = *dbf_;
    header_ = file_.substr(0, t.m_nHeadLen);
    FUZZ_CHECK(t.m_nRecLen >= 1 && t.m_nRecLen <= kSlot, "record length " + Num(t.m_nRecLen));
    FUZZ_CHECK(t.m_nHeadLen >= 32 && t.m_nHeadLen <= file_.size(),
               "header length " + Num(t.m_nHeadLen) + " of a file of " + Num(file_.size()));
    FUZZ_CHECK(t.m_lTotalCount == GetInt32(file_, 4), "count at open " + Num(t.m_lTotalCount));
    FUZZ_CHECK(t.m_lCurPos == -1, "position at open " + Num(t.m_lCurPos));
    for (int i = 0; i < Held(); ++i) {
      const DBFFIELD& f = t.m_Fields[i];
      FUZZ_CHECK(f.nOffset >= 1 && f.nOffset + f.nLength <= t.m_nRecLen,
                 "field " + Num(i) + " at " + Num(f.nOffset) + " width " + Num(f.nLength));
    }
    return true;
  }

  void Run(Script& script) {
    while (script.More()) {
      const uint8_t op = script.Byte();
      switch (op % 9) {
        case 0:
          BlockRead(script.Byte() * 2 + (op >> 7));
          break;
        case 1:
          MoveNext();
          break;
        case 2:
          MovePrev();
          break;
        case 3:
          MoveTo(static_cast<int8_t>(script.Byte()));
          break;
        case 4:
          FieldValues(static_cast<int>(script.Byte()) - 2);
          break;
        case 5:
          Shrink(script.Byte(), script.Byte());
          break;
        case 6:
          AppendRecords(script.Byte() % 8, script.Byte());
          break;
        case 7:
          SetCount(script.Int32());
          break;
        case 8:
          CheckCount();
          break;
      }
    }
  }

  // Appends a batch to a copy of the file and checks where it went.
  void AppendToCopy(uint8_t countByte, uint8_t fill) {
    const int32_t count = GetInt32(file_, 4);
    const size_t headLen = dbf_->m_nHeadLen;
    const size_t recLen = dbf_->m_nRecLen;
    // A header cut and then overwritten by a later growth is another file.
    if (file_.size() < headLen || !SameHeader()) return;
    if (count >= 0 && headLen + (static_cast<size_t>(count) + 8) * recLen > kMaxFileSize) return;
    const std::string copy = path_ + ".copy";
    WriteWholeFile(copy, file_.data(), file_.size());
    CDBFOperate writer;
    FUZZ_CHECK(writer.Open(copy.c_str()) == 1,
               "the copy does not open: " + writer.GetLastErrorMsg());
    const long n = 1 + countByte % 4;
    std::string images(static_cast<size_t>(n) * recLen, '\0');
    for (size_t i = 0; i < images.size(); ++i) images[i] = static_cast<char>(fill + i % 37);
    std::string stamped = images;
    const bool wtk = fill & 1;
    const int result = writer.AddNewRecord(stamped.data(), n, wtk ? "WTK" : "CJK");
    const std::string after = ReadWholeFile(copy);
    if (count < 0) {
      FUZZ_CHECK(result == 0, "append after a negative count " + Num(count));
      FUZZ_CHECK(after == file_, "a refused append changed the file");
      return;
    }
    FUZZ_CHECK(result == 1, "append failed: " + writer.GetLastErrorMsg());
    // The expected file: records at the count, the end mark, the new count.
    std::string expect = file_;
    const size_t at = headLen + static_cast<size_t>(count) * recLen;
    const size_t end = at + images.size() + 1;
    if (expect.size() < end) expect.resize(end, '\0');
    std::string want = images;
    if (wtk) StampNumbers(want, n, count, recLen);
    expect.replace(at, want.size(), want);
    expect[at + want.size()] = 0x1A;
    PutInt32(expect, 4, count + static_cast<int32_t>(n));
    FUZZ_CHECK(after == expect, "appended file differs at byte " + Num(FirstDiff(after, expect)));
    FUZZ_CHECK(stamped == want, "the caller's images were not stamped as written");

    CDBFOperate reader;
    FUZZ_CHECK(reader.Open(copy.c_str()) == 1, "the appended copy does not open");
    FUZZ_CHECK(reader.GetTotalRecord() == CString(Num(count + n)), "count after append");
    FUZZ_CHECK(reader.MoveTo(count - 1) == 1, "cannot move before the appended records");
    FUZZ_CHECK(reader.ReadToBufferFromFile(static_cast<int>(n)) == n, "appended records not read");
    for (long k = 0; k < n; ++k) {
      FUZZ_CHECK(memcmp(reader.m_szRecordBuf + k * kSlot, want.data() + k * recLen, recLen) == 0,
                 "appended record " + Num(k) + " reads back different");
    }
  }

 private:
  // True when the image can be served without reading outside a slot or the
  // header: a whole header, a header length of at least 32 within the file, a
  // record length of 1 to 512, and every held field inside the record.
  bool Servable() const {
    if (file_.size() < 32) return false;
    const auto u16 = [this](size_t at) {
      return static_cast<size_t>(static_cast<unsigned char>(file_[at]) |
                                 static_cast<unsigned char>(file_[at + 1]) << 8);
    };
    const size_t headLen = u16(8);
    const size_t recLen = u16(10);
    if (headLen < 32 || headLen > file_.size() || recLen < 1 || recLen > kSlot) return false;
    const size_t held = std::min<size_t>((headLen - 32) / 32, CDBFOperate::kMaxFields);
    size_t end = 1;
    for (size_t i = 0; i < held; ++i) {
      end += static_cast<unsigned char>(file_[32 + 32 * i + 16]);
      if (end > recLen) return false;
    }
    return true;
  }

  // True when the header and descriptors are as at open, the count aside.
  bool SameHeader() const {
    return file_.compare(0, 4, header_, 0, 4) == 0 &&
           file_.compare(8, header_.size() - 8, header_, 8, header_.size() - 8) == 0;
  }

  int Held() const { return std::min<int>(dbf_->m_nFieldCount, CDBFOperate::kMaxFields); }
  int32_t HeaderCount() const { return GetInt32(file_, 4); }

  static size_t FirstDiff(const std::string& a, const std::string& b) {
    size_t i = 0;
    while (i < a.size() && i < b.size() && a[i] == b[i]) ++i;
    return i;
  }

  // REC_NUM of a "WTK" batch: start + 1, ... right-aligned in the first
  // field, or the number's leading digits when it is wider than the field.
  void StampNumbers(std::string& images, long n, int32_t start, size_t recLen) const {
    if (Held() < 1) return;
    const DBFFIELD& f = dbf_->m_Fields[0];
    char name[12] = {};
    memcpy(name, f.szName, sizeof f.szName);
    if (_mbsicmp(name, "REC_NUM") != 0) return;
    for (long k = 0; k < n; ++k) {
      const std::string text = Num(int64_t{start} + k + 1);
      std::string cell = text.size() < f.nLength ? std::string(f.nLength - text.size(), ' ') + text
                                                 : text.substr(0, f.nLength);
      images.replace(k * recLen + f.nOffset, f.nLength, cell);
    }
  }

  void BlockRead(int want) {
    CDBFOperate& t = *dbf_;
    const int64_t next = int64_t{t.m_lCurPos} + 1;
    const int64_t cached = t.m_lTotalCount;
    const int got = t.ReadToBufferFromFile(want);
    const int64_t header = HeaderCount();
    const std::string where = "block read of " + Num(want) + " after " + Num(next - 1) +
                              " (count " + Num(header) + ", file " + Num(file_.size()) + ")";
    FUZZ_CHECK(got >= 0 && got <= want, where + " gave " + Num(got));
    FUZZ_CHECK(got <= std::max(cached, header) - next || got == 0, where + " gave " + Num(got));
    FUZZ_CHECK(next >= 0 || got == 0, where + " read before the first record");
    const size_t recLen = t.m_nRecLen;
    const size_t base = t.m_nHeadLen + static_cast<size_t>(std::max<int64_t>(next, 0)) * recLen;
    // Only whole records that the file holds, whatever the count says.
    FUZZ_CHECK(got == 0 || base + got * recLen <= file_.size(),
               where + " gave " + Num(got) + " records the file lacks (record length " +
                   Num(recLen) + ", header length " + Num(t.m_nHeadLen) + ")");
    // Progress: a whole record that is counted is read.
    if (want >= 1 && want <= CDBFOperate::kSlotCount && next >= 0 && next < header &&
        base + recLen <= file_.size()) {
      FUZZ_CHECK(got >= 1, where + " read nothing");
    }
    if (got == 0) return;
    FUZZ_CHECK(t.m_nBufferPos == -1, "buffer position after a read " + Num(t.m_nBufferPos));
    for (int k = 0; k < CDBFOperate::kSlotCount; ++k) {
      const char* slot = t.m_szRecordBuf + k * kSlot;
      char expect[kSlot] = {};
      if (k < got) {
        const size_t at = base + k * recLen;
        if (at < file_.size())
          memcpy(expect, file_.data() + at, std::min(recLen, file_.size() - at));
      }
      FUZZ_CHECK(memcmp(slot, expect, kSlot) == 0, where + ": slot " + Num(k) + " is wrong");
    }
  }

  void MoveNext() {
    CDBFOperate& t = *dbf_;
    const int64_t before = t.m_lCurPos;
    const int64_t cached = t.m_lTotalCount;
    const int r = t.MoveNext();
    const int64_t header = HeaderCount();
    if (r == 1) {
      FUZZ_CHECK(t.m_lCurPos == before + 1, "MoveNext moved to " + Num(t.m_lCurPos));
      FUZZ_CHECK(before + 1 < cached || before + 1 < header, "MoveNext past the count");
    } else {
      FUZZ_CHECK(r == 0 && t.m_lCurPos == before, "MoveNext gave " + Num(r));
      FUZZ_CHECK(before + 1 >= header, "MoveNext refused record " + Num(before + 1));
    }
    CheckCurrentPos();
  }

  void MovePrev() {
    CDBFOperate& t = *dbf_;
    const int64_t before = t.m_lCurPos;
    t.MovePrev();
    FUZZ_CHECK(t.m_lCurPos == before - 1, "MovePrev moved to " + Num(t.m_lCurPos));
    CheckCurrentPos();
  }

  void MoveTo(int target) {
    CDBFOperate& t = *dbf_;
    const int64_t before = t.m_lCurPos;
    // Near the end of the file as often as near the start.
    const long pos = target >= 0 ? target : long{HeaderCount()} + target + 1;
    const int r = t.MoveTo(pos);
    const bool allowed = pos >= -1 && pos <= HeaderCount();
    FUZZ_CHECK(r == (allowed ? 1 : 0), "MoveTo(" + Num(pos) + ") gave " + Num(r));
    FUZZ_CHECK(t.m_lCurPos == (allowed ? pos : before), "MoveTo left " + Num(t.m_lCurPos));
    CheckCurrentPos();
  }

  void CheckCurrentPos() {
    FUZZ_CHECK(dbf_->GetCurrentPos() == CString(Num(int64_t{dbf_->m_lCurPos} + 1)),
               "GetCurrentPos " + dbf_->GetCurrentPos());
  }

  // Every field of slot index (and of the current slot): the slot's bytes
  // from the field's offset, up to a NUL, at most the field's width.
  void FieldValues(int index) {
    CDBFOperate& t = *dbf_;
    for (int i = 0; i < Held(); ++i) {
      char name[12] = {};
      memcpy(name, t.m_Fields[i].szName, sizeof t.m_Fields[i].szName);
      int first = 0;  // a name given twice finds its first field
      while (!SameName(first, name)) ++first;
      const DBFFIELD& f = t.m_Fields[first];
      const CString value = t.GetFieldValue(index, name);
      FUZZ_CHECK(value.GetLength() <= f.nLength,
                 "value of " + std::string(name) + " is " + Num(value.GetLength()) + " bytes");
      std::string expect;
      if (index >= 0 && index < CDBFOperate::kSlotCount) {
        const char* cell = t.m_szRecordBuf + index * kSlot + f.nOffset;
        expect.assign(cell, strnlen(cell, f.nLength));
      }
      FUZZ_CHECK(value == CString(expect), "value of field " + Num(i) + " in slot " + Num(index));
      FUZZ_CHECK(t.GetFieldValue(name) == t.GetFieldValue(t.m_nBufferPos, name),
                 "current-slot value of field " + Num(i));
    }
    FUZZ_CHECK(t.GetFieldValue(index, "NO_SUCH_FIELD_NAME").IsEmpty(), "value of an unknown field");
  }

  bool SameName(int i, const char* name) const {
    char other[12] = {};
    memcpy(other, dbf_->m_Fields[i].szName, sizeof dbf_->m_Fields[i].szName);
    return _mbsicmp(other, name) == 0;
  }

  // Cuts the file under the open object, anywhere from the count on.
  void Shrink(uint8_t fraction, uint8_t bump) {
    size_t size = kMinFileSize + (file_.size() - kMinFileSize) * fraction / 256;
    size = std::min(file_.size(), size + bump % 4);
    file_.resize(size);
    Truncate(size);
  }

  // Another writer adds n records (count bumped when asked) or stray bytes.
  void AppendRecords(int n, uint8_t how) {
    const size_t recLen = dbf_->m_nRecLen;
    const size_t add = (how & 1) ? n * recLen : how % 97;
    if (file_.size() + add > kMaxFileSize) return;
    std::string bytes(add, '\0');
    for (size_t i = 0; i < add; ++i) bytes[i] = static_cast<char>(how + 3 * i);
    Patch(file_.size(), bytes);
    if ((how & 1) && (how & 2)) {
      std::string count(4, '\0');
      PutInt32(count, 0, HeaderCount() + n);
      Patch(4, count);
    }
  }

  void SetCount(int32_t value) {
    std::string count(4, '\0');
    PutInt32(count, 0, value);
    Patch(4, count);
  }

  void CheckCount() {
    const CString text = dbf_->GetTotalRecord();
    FUZZ_CHECK(text == CString(Num(HeaderCount())), "count " + text + " vs header");
    FUZZ_CHECK(dbf_->m_lTotalCount == HeaderCount(), "cached count after a refresh");
  }

  // Writes bytes at offset, as another process would, and in the model.
  void Patch(size_t offset, const std::string& bytes) {
    int fd = open(path_.c_str(), O_WRONLY);
    FUZZ_CHECK(fd >= 0, "open for patch");
    FUZZ_CHECK(pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset)) ==
                   static_cast<ssize_t>(bytes.size()),
               "patch");
    close(fd);
    if (file_.size() < offset + bytes.size()) file_.resize(offset + bytes.size(), '\0');
    file_.replace(offset, bytes.size(), bytes);
  }

  void Truncate(size_t size) {
    FUZZ_CHECK(truncate(path_.c_str(), static_cast<off_t>(size)) == 0, "truncate");
  }

  std::string path_;
  std::string file_;
  std::string header_;  // the first header-length bytes at open
  std::unique_ptr<CDBFOperate> dbf_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > kMaxFileSize) return 0;
  const size_t n = std::min<size_t>(data[0], size - 1);
  Script script{data + 1, n};
  std::string image(reinterpret_cast<const char*>(data) + 1 + n, size - 1 - n);
  Harness h(ScratchDir() + "/table.dbf", image);
  if (!h.Open()) return 0;
  h.Run(script);
  h.AppendToCopy(n > 0 ? data[1] : 0, n > 1 ? data[2] : 0x41);
  return 0;
}
