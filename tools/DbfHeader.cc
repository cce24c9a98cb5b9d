// Reading the version, language-driver byte and descriptor layout of a table
// file's header straight from the file, and the tables that name them. The
// names come from the public descriptions of the dBASE, FoxPro and Visual
// FoxPro file formats.
#include "tools/DbfHeader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

namespace kestal::tool {
namespace {

constexpr unsigned kBaseHeader = 32;
constexpr unsigned kLevel7Header = 68;  // 32 bytes more: the language driver's name
constexpr unsigned char kTerminator = 0x0D;

struct Named {
  unsigned char byte;
  const char* name;
};

constexpr Named kVersions[] = {
    {0x02, "FoxBASE"},
    {0x03, "dBASE III"},
    {0x04, "dBASE 7"},
    {0x30, "Visual FoxPro"},
    {0x31, "Visual FoxPro (autoincrement)"},
    {0x32, "Visual FoxPro (varchar/varbinary)"},
    {0x43, "dBASE IV SQL table"},
    {0x63, "dBASE IV SQL system table"},
    {0x7B, "dBASE IV with memo"},
    {0x83, "dBASE III with memo"},
    {0x8B, "dBASE IV with memo"},
    {0x8C, "dBASE 7 with memo"},
    {0xCB, "dBASE IV SQL table with memo"},
    {0xE5, "HiPer-Six with memo"},
    {0xF5, "FoxPro 2 with memo"},
    {0xFB, "FoxBASE with memo"},
};

// Language-driver bytes and the code pages they name, as Visual FoxPro and
// dBASE document them; the Windows and DOS code pages under their iconv names.
constexpr Named kDrivers[] = {
    {0x01, "CP437"},  {0x02, "CP850"},  {0x03, "CP1252"}, {0x04, "MACINTOSH"},    {0x08, "CP865"},
    {0x09, "CP437"},  {0x0A, "CP850"},  {0x0B, "CP437"},  {0x0D, "CP437"},        {0x0E, "CP850"},
    {0x0F, "CP437"},  {0x10, "CP850"},  {0x11, "CP437"},  {0x12, "CP850"},        {0x13, "CP932"},
    {0x14, "CP850"},  {0x15, "CP437"},  {0x16, "CP850"},  {0x17, "CP865"},        {0x18, "CP437"},
    {0x19, "CP437"},  {0x1A, "CP850"},  {0x1B, "CP437"},  {0x1C, "CP863"},        {0x1D, "CP850"},
    {0x1F, "CP852"},  {0x22, "CP852"},  {0x23, "CP852"},  {0x24, "CP860"},        {0x25, "CP850"},
    {0x26, "CP866"},  {0x37, "CP850"},  {0x40, "CP852"},  {0x4D, "GBK"},          {0x4E, "CP949"},
    {0x4F, "CP950"},  {0x50, "CP874"},  {0x57, "CP1252"}, {0x58, "CP1252"},       {0x59, "CP1252"},
    {0x64, "CP852"},  {0x65, "CP866"},  {0x66, "CP865"},  {0x67, "CP861"},        {0x6A, "CP737"},
    {0x6B, "CP857"},  {0x78, "CP950"},  {0x79, "CP949"},  {0x7A, "GBK"},          {0x7B, "CP932"},
    {0x7C, "CP874"},  {0x7D, "CP1255"}, {0x7E, "CP1256"}, {0x96, "MAC-CYRILLIC"}, {0xC8, "CP1250"},
    {0xC9, "CP1251"}, {0xCA, "CP1254"}, {0xCB, "CP1253"}, {0xCC, "CP1257"},
};

// dBASE 7 (level 7) files: 48-byte descriptors after a 68-byte header.
bool IsLevel7(unsigned char version) {
  return (version & 0x07) == 0x04;
}

bool IsVisualFoxPro(unsigned char version) {
  return version == 0x30 || version == 0x31 || version == 0x32;
}

uint32_t Le32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

uint16_t Le16(const unsigned char* p) {
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}

// Reads up to size bytes at offset; the count read, -1 on error.
ssize_t ReadAt(int fd, void* buf, size_t size, off_t offset) {
  size_t done = 0;
  while (done < size) {
    const ssize_t n =
        pread(fd, static_cast<char*>(buf) + done, size - done, offset + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

// The descriptors of the header bytes after the fixed part, up to the
// terminator, each width bytes long with the name in the first name_size.
void ParseFields(const std::vector<unsigned char>& bytes, unsigned start, unsigned width,
                 unsigned name_size, DbfHeader* header) {
  unsigned at = start;
  for (; at + width <= bytes.size() && bytes[at] != kTerminator; at += width) {
    RawField f;
    const char* name = reinterpret_cast<const char*>(&bytes[at]);
    f.name.assign(name, strnlen(name, name_size));
    f.type = static_cast<char>(bytes[at + name_size]);
    // The length and decimals follow the type in dBASE 7; in the 32-byte
    // layout 4 bytes (the field's offset in some writers) come between.
    const unsigned length_at = width == 48 ? at + 33 : at + 16;
    f.length = bytes[length_at];
    f.decimals = bytes[length_at + 1];
    header->fields.push_back(f);
  }
  header->terminated = at < bytes.size() && bytes[at] == kTerminator;
}

}  // namespace

bool ReadDbfHeader(const std::string& path, DbfHeader* header, std::string* why) {
  *header = DbfHeader();
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *why = "cannot open '" + path + "': " + strerror(errno);
    return false;
  }
  struct stat st {};
  unsigned char head[kBaseHeader];
  const ssize_t got = fstat(fd, &st) == 0 ? ReadAt(fd, head, sizeof head, 0) : -1;
  if (got < 0) {
    *why = "cannot read the header of '" + path + "': " + strerror(errno);
    close(fd);
    return false;
  }
  if (got < static_cast<ssize_t>(sizeof head)) {
    *why = "'" + path + "' is " + std::to_string(got) + " bytes, shorter than a table header";
    close(fd);
    return false;
  }
  header->file_size = st.st_size;
  header->version = head[0];
  header->year = head[1];
  header->month = head[2];
  header->day = head[3];
  header->count = Le32(head + 4);
  header->header_length = Le16(head + 8);
  header->record_length = Le16(head + 10);
  header->language_driver = head[29];
  // The whole stated header (and one byte more, where a terminator that the
  // stated length leaves out would be), as far as the file holds it.
  std::vector<unsigned char> bytes(static_cast<size_t>(header->header_length) + 1);
  const ssize_t n = ReadAt(fd, bytes.data(), bytes.size(), 0);
  close(fd);
  bytes.resize(n > 0 ? static_cast<size_t>(n) : 0);
  if (IsLevel7(header->version)) {
    ParseFields(bytes, kLevel7Header, 48, 32, header);
  } else {
    ParseFields(bytes, kBaseHeader, 32, 11, header);
  }
  return true;
}

std::string VersionName(unsigned char version) {
  for (const Named& v : kVersions) {
    if (v.byte == version) return v.name;
  }
  return "unknown";
}

std::string UnreadableLayout(const DbfHeader& header) {
  if (IsLevel7(header.version)) {
    return "its field descriptors are 48 bytes long and start at byte 68; the tool reads the "
           "32-byte descriptors of dBASE III tables only";
  }
  if (!header.terminated || header.header_length < kBaseHeader) return "";
  // The library takes every 32 bytes after the first 32, up to the stated
  // header length, as a descriptor.
  const size_t counted = (header.header_length - kBaseHeader) / 32;
  if (counted == header.fields.size()) return "";
  const unsigned end = kBaseHeader + 32 * static_cast<unsigned>(header.fields.size()) + 1;
  std::string why = "its " + std::to_string(header.fields.size()) +
                    " field descriptors end at byte " + std::to_string(end) +
                    " but the header is " + std::to_string(header.header_length) + " bytes long";
  if (IsVisualFoxPro(header.version)) {
    why += " (Visual FoxPro keeps a 263-byte backlink area there)";
  }
  return why + "; the tool reads dBASE III headers, whose records follow the descriptors";
}

std::string UnreadParts(const DbfHeader& header) {
  for (const RawField& f : header.fields) {
    if (f.type == 'M' || f.type == 'm') {
      return "memo texts (fields of type M) are kept in a separate memo file (.DBT or .FPT), "
             "which the tool does not read: those fields show the memo's block number";
    }
  }
  return "";
}

std::string CodepageOfDriver(unsigned char driver) {
  for (const Named& d : kDrivers) {
    if (d.byte == driver) return d.name;
  }
  return "";
}

long CountDeleted(const std::string& path, const DbfHeader& header) {
  if (header.record_length == 0 || header.file_size < header.header_length) return 0;
  const long long held = (header.file_size - header.header_length) / header.record_length;
  const long long records = std::min<long long>(held, header.count);
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  // Whole records per read, about 256 KB at a time.
  const long long per_read = std::max<long long>(1, (256 * 1024) / header.record_length);
  std::vector<char> buf(static_cast<size_t>(per_read) * header.record_length);
  long deleted = 0;
  for (long long done = 0; done < records;) {
    const long long want = std::min(per_read, records - done);
    const off_t at =
        static_cast<off_t>(header.header_length) + static_cast<off_t>(done) * header.record_length;
    const ssize_t n = ReadAt(fd, buf.data(), static_cast<size_t>(want) * header.record_length, at);
    if (n < static_cast<ssize_t>(want * header.record_length)) {
      close(fd);
      return -1;
    }
    for (long long k = 0; k < want; ++k) {
      if (buf[static_cast<size_t>(k * header.record_length)] == '*') ++deleted;
    }
    done += want;
  }
  close(fd);
  return deleted;
}

}  // namespace kestal::tool
