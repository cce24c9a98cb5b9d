// Helpers of the table-file tests: building .DBF files byte by byte, record
// images, and a window on the private lock helpers of CDBFOperate.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "dbf/DBFOperate.h"

// Friend of CDBFOperate: the tests reach its private lock helpers here.
class CDBFOperateTestAccess {
 public:
  static int LockHead(CDBFOperate& table) { return table.LockHead(); }
  static int UnlockHead(CDBFOperate& table) { return table.UnlockHead(); }
  static bool FileIsOpen(const CDBFOperate& table) { return table.m_File.IsOpen(); }
};

namespace kestal::test {

struct FieldSpec {
  std::string name;
  char type;
  int length;
};

// A table file to build. Unset overrides take the values of a well-formed file.
struct TableSpec {
  TableSpec(std::vector<FieldSpec> f, std::vector<std::string> r = {})
      : fields(std::move(f)), records(std::move(r)) {}
  std::vector<FieldSpec> fields;
  std::vector<std::string> records;      // full record images
  std::optional<int32_t> count;          // header record count
  std::optional<uint16_t> headerLength;  // header bytes 8-9
  std::optional<uint16_t> recordLength;  // header bytes 10-11
  bool endMarker = true;                 // 0x1A after the records
};

// Record length of fields: the deletion flag plus every field.
int RecordLength(const std::vector<FieldSpec>& fields);
// The file bytes for layout.
std::string BuildTable(const TableSpec& layout);
// Writes the file for layout at path.
void WriteTable(const std::string& path, const TableSpec& layout);
// A record image: flag ' ', then each value padded to its field (type 'N'
// right-aligned, others left-aligned), cut when too long.
std::string Record(const std::vector<FieldSpec>& fields, const std::vector<std::string>& values);
// Header record count of the file at path (bytes 4 to 7).
int32_t HeaderCount(const std::string& path);

// CPU time of the calling thread in milliseconds (user and system).
long long CpuMs();

// The fields used by most tests: REC_NUM N 8, NAME C 10, QTY N 6.
std::vector<FieldSpec> OrderFields();

}  // namespace kestal::test
