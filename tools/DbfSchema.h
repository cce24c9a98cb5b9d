// Field lists for new table files ("NAME:TYPE:LEN[:DEC],...") and the dBASE
// III header written for them. CDBFOperate never creates files, so the tool
// lays out the header itself.
#pragma once

#include <ctime>
#include <string>
#include <vector>

namespace kestal::tool {

struct FieldDef {
  std::string name;  // 1 to 10 ASCII letters, digits or '_', starting with a letter
  char type;         // C, N, F, D or L
  int length;
  int decimals;
};

// Largest record image a table may have: one 512-byte slot of the record
// buffer, deletion flag included.
constexpr int kMaxRecordLength = 512;
constexpr int kMaxFieldCount = 100;

// Parses and checks a field list. Throws UsageError naming the bad entry: bad
// name, duplicate name (case-insensitive), unknown type, a length outside
// what the type allows, too many fields, or a record longer than 512 bytes.
std::vector<FieldDef> ParseFieldList(const std::string& text);

// The complete content of an empty table: version 0x03, the date of when,
// count 0, header length 32 + 32n + 1, record length, the descriptors, the
// terminator 0x0D and the end-of-file byte 0x1A.
std::string BuildEmptyTable(const std::vector<FieldDef>& fields, std::time_t when);

// Writes an empty table with fields to path, which must not exist yet.
// Throws ToolError when path exists or cannot be written; a partly written
// file is removed.
void CreateEmptyTable(const std::string& path, const std::vector<FieldDef>& fields);

}  // namespace kestal::tool
