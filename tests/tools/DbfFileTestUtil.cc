#include "tools/DbfFileTestUtil.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "tools/ToolTestUtil.h"

namespace kestal::test {
namespace {

void PutLe(std::string* s, size_t at, unsigned value, int bytes) {
  for (int i = 0; i < bytes; ++i) (*s)[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

}  // namespace

std::string RawDbfBytes(const RawTable& t) {
  const bool level7 = (t.version & 0x07) == 0x04;
  const unsigned base = level7 ? 68 : 32;
  const unsigned width = level7 ? 48 : 32;
  unsigned record_length = 1;
  for (const RawFieldSpec& f : t.fields) record_length += f.length;
  const unsigned header_length =
      base + width * static_cast<unsigned>(t.fields.size()) + 1 + t.extra;
  std::string out(header_length, '\0');
  out[0] = static_cast<char>(t.version);
  out[1] = 126;  // 2026-12-07
  out[2] = 12;
  out[3] = 7;
  PutLe(&out, 4, static_cast<unsigned>(t.records.size()), 4);
  PutLe(&out, 8, header_length, 2);
  PutLe(&out, 10, record_length, 2);
  out[29] = static_cast<char>(t.driver);
  unsigned at = base;
  for (const RawFieldSpec& f : t.fields) {
    out.replace(at, f.name.size(), f.name);
    const unsigned type_at = level7 ? at + 32 : at + 11;
    out[type_at] = f.type;
    out[level7 ? at + 33 : at + 16] = static_cast<char>(f.length);
    out[level7 ? at + 34 : at + 17] = static_cast<char>(f.decimals);
    at += width;
  }
  out[at] = 0x0D;
  for (size_t r = 0; r < t.records.size(); ++r) {
    std::string image(1, r < t.deleted.size() && t.deleted[r] ? '*' : ' ');
    for (size_t i = 0; i < t.fields.size(); ++i) {
      const RawFieldSpec& f = t.fields[i];
      std::string v = i < t.records[r].size() ? t.records[r][i] : "";
      v.resize(std::min<size_t>(v.size(), f.length));
      const std::string pad(f.length - v.size(), ' ');
      image += (f.type == 'N' || f.type == 'F') ? pad + v : v + pad;
    }
    out += image;
  }
  return out;
}

RawTable RawOrders(unsigned char driver, const std::vector<std::string>& notes) {
  RawTable t;
  t.driver = driver;
  t.fields = {
      {"REC_NUM", 'N', 8}, {"STOCK", 'C', 6}, {"BS", 'C', 1}, {"QTY", 'N', 8}, {"NOTE", 'C', 20}};
  for (size_t i = 0; i < notes.size(); ++i) {
    const std::string n = std::to_string(i + 1);
    t.records.push_back({n, "600000", "B", "100", notes[i]});
  }
  return t;
}

void MarkDeleted(const std::string& path, long n) {
  const std::string bytes = ReadFile(path);
  const unsigned header_length = Le16(bytes, 8);
  const unsigned record_length = Le16(bytes, 10);
  const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0) << path;
  const off_t at = static_cast<off_t>(header_length) + static_cast<off_t>(n - 1) * record_length;
  ASSERT_EQ(pwrite(fd, "*", 1, at), 1);
  close(fd);
}

}  // namespace kestal::test
