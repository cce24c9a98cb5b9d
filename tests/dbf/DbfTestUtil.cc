#include "DbfTestUtil.h"

#include <time.h>

#include <cstring>
#include <fstream>

#include "support/TestSupport.h"

namespace kestal::test {

namespace {

void Put16(std::string& s, size_t at, uint16_t v) {
  s[at] = static_cast<char>(v & 0xFF);
  s[at + 1] = static_cast<char>(v >> 8);
}

void Put32(std::string& s, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

}  // namespace

int RecordLength(const std::vector<FieldSpec>& fields) {
  int length = 1;
  for (const FieldSpec& f : fields) length += f.length;
  return length;
}

std::string BuildTable(const TableSpec& layout) {
  uint16_t headerLength =
      layout.headerLength.value_or(static_cast<uint16_t>(32 + 32 * layout.fields.size() + 1));
  std::string header(32, '\0');
  header[0] = 0x03;
  header[1] = 126;  // 2026
  header[2] = 12;
  header[3] = 7;
  Put32(header, 4, static_cast<uint32_t>(layout.count.value_or(int32_t(layout.records.size()))));
  Put16(header, 8, headerLength);
  Put16(header, 10,
        layout.recordLength.value_or(static_cast<uint16_t>(RecordLength(layout.fields))));
  std::string out = header;
  for (const FieldSpec& f : layout.fields) {
    std::string d(32, '\0');
    memcpy(&d[0], f.name.data(), std::min<size_t>(f.name.size(), 11));
    d[11] = f.type;
    d[16] = static_cast<char>(f.length);
    out += d;
  }
  out += '\x0D';
  if (out.size() < headerLength) out.resize(headerLength, '\0');
  // A header length shorter than the descriptors puts the records there.
  out.resize(headerLength);
  for (const std::string& r : layout.records) out += r;
  if (layout.endMarker) out += '\x1A';
  return out;
}

void WriteTable(const std::string& path, const TableSpec& layout) {
  WriteFile(path, BuildTable(layout));
}

std::string Record(const std::vector<FieldSpec>& fields, const std::vector<std::string>& values) {
  std::string r = " ";
  for (size_t i = 0; i < fields.size(); ++i) {
    std::string v = i < values.size() ? values[i] : "";
    size_t w = static_cast<size_t>(fields[i].length);
    if (v.size() > w) v.resize(w);
    std::string pad(w - v.size(), ' ');
    r += fields[i].type == 'N' ? pad + v : v + pad;
  }
  return r;
}

int32_t HeaderCount(const std::string& path) {
  // Only the header is read: some tables are sparse files of many gigabytes.
  std::string bytes(8, '\0');
  std::ifstream in(path, std::ios::binary);
  if (!in.read(&bytes[0], 8)) return -1;
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= uint32_t(static_cast<unsigned char>(bytes[4 + i])) << (8 * i);
  return static_cast<int32_t>(v);
}

std::vector<FieldSpec> OrderFields() {
  return {{"REC_NUM", 'N', 8}, {"NAME", 'C', 10}, {"QTY", 'N', 6}};
}

long long CpuMs() {
  struct timespec ts {};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace kestal::test
