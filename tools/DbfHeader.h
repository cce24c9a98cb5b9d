// The header bytes of a table file that the library does not read: the
// version byte, the date, the language-driver byte (offset 29) and the layout
// of the field descriptors as each dBASE-family version writes them. The
// dbf commands use them to name the version, to pick the code page of the
// text, and to refuse a layout the library would misread before it opens the
// file. Nothing here writes to the file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kestal::tool {

// One field descriptor as the file holds it.
struct RawField {
  std::string name;  // without its NUL padding
  char type = '?';
  unsigned length = 0;
  unsigned decimals = 0;
};

struct DbfHeader {
  unsigned char version = 0;
  unsigned char year = 0, month = 0, day = 0;  // last update, year from 1900
  uint32_t count = 0;                          // record count
  uint16_t header_length = 0;
  uint16_t record_length = 0;
  unsigned char language_driver = 0;  // byte 29; 0 when the writer set none
  // The descriptors up to the 0x0D terminator, read with the width the
  // version uses (48 bytes for dBASE 7, else 32); empty when none was found.
  std::vector<RawField> fields;
  bool terminated = false;  // the terminator was found where it belongs
  long long file_size = 0;
};

// Reads the header of path. Returns false with the reason (the operation, the
// path and the system's text) when the file cannot be opened or is shorter
// than 32 bytes.
bool ReadDbfHeader(const std::string& path, DbfHeader* header, std::string* why);

// The version byte by name ("dBASE III", "Visual FoxPro", ...), or "unknown".
std::string VersionName(unsigned char version);

// Why the library cannot read a file of this header as it stands ("its field
// descriptors are 48 bytes long, ..."), or "" when it reads it as a dBASE III
// table: 32-byte descriptors, then the terminator, then the records.
std::string UnreadableLayout(const DbfHeader& header);

// What the tools cannot show of a readable file (memo texts kept in a
// separate file), or "".
std::string UnreadParts(const DbfHeader& header);

// The code page a language-driver byte names, as iconv spells it ("GBK",
// "CP1252"), or "" for 0 and for bytes not in the table.
std::string CodepageOfDriver(unsigned char driver);

// Counts the records of path marked deleted ('*' as their first byte), among
// the first count records the file holds whole. -1 when it cannot be read.
long CountDeleted(const std::string& path, const DbfHeader& header);

}  // namespace kestal::tool
