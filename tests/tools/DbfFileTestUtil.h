// Table files written byte by byte, as other dBASE-family programs write
// them (versions, language-driver bytes, the Visual FoxPro backlink area,
// dBASE 7's 48-byte descriptors), and records marked deleted in place.
#pragma once

#include <string>
#include <vector>

namespace kestal::test {

struct RawFieldSpec {
  std::string name;
  char type;
  unsigned length;
  unsigned decimals = 0;
};

struct RawTable {
  unsigned char version = 0x03;
  unsigned char driver = 0;  // language-driver byte (offset 29)
  std::vector<RawFieldSpec> fields;
  // Values per record, padded to their fields (numbers on the left);
  // deleted[i] marks record i deleted.
  std::vector<std::vector<std::string>> records;
  std::vector<bool> deleted;
  unsigned extra = 0;  // header bytes after the terminator (263 for Visual FoxPro)
};

// The file's bytes. dBASE 7 versions (0x04, 0x8C) get a 68-byte header and
// 48-byte descriptors.
std::string RawDbfBytes(const RawTable& table);

// The order table of kOrderFields with records numbered from 1, each holding
// note as its NOTE bytes (table text as is).
RawTable RawOrders(unsigned char driver, const std::vector<std::string>& notes);

// Sets the deletion flag of record n (1-based) of the table file at path to
// '*', in place.
void MarkDeleted(const std::string& path, long n);

}  // namespace kestal::test
