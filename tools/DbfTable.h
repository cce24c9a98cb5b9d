// Opening a table file for the dbf commands, and turning CSV values into
// record images and record images back into values.
#pragma once

#include <string>
#include <vector>

#include "dbf/DBFOperate.h"

namespace kestal::tool {

// Opens path with table for reading only, so that a file without write
// permission can be read. Throws ToolError when the file is missing or cannot
// be opened (naming the system's reason), or when its layout is one the
// commands cannot serve safely: more than 100 fields, a record longer than
// one 512-byte buffer slot, or fields that do not fit the record length.
void OpenTable(CDBFOperate* table, const std::string& path);
// Before opening, both refuse a file of another dBASE-family version whose
// header the library would misread (UnreadableMessage), and make the process
// read text in the code page its header names (UseTableCodepage).
struct DbfHeader;
// "'PATH' is a Visual FoxPro table (version byte 0x30), which the tool cannot
// read: " and why.
std::string UnreadableMessage(const std::string& path, const DbfHeader& header,
                              const std::string& why);
// As OpenTable, for reading and appending. A file that can be read but not
// written is refused with a message saying so.
void OpenTableForAppend(CDBFOperate* table, const std::string& path);

// The number of whole records the file at path holds after its header, or -1
// when the file is shorter than its header (cut or being rewritten).
long RecordsHeld(const std::string& path, const CDBFOperate& table);

// Throws ToolError when the file holds fewer whole records than the count the
// table last read from its header: the file is damaged or cut, and the
// records it lacks must never be read as blank ones. Returns when it holds
// them all, or when it is shorter than its header (a reader reports that and
// polls, as for any failed count read).
void StopIfFileIsShort(const CDBFOperate& table, const std::string& path);

// The value of "--deleted copy|skip" among opts: true for skip. copy is the
// default: every record goes out, marked deleted or not, as before the option
// existed. Throws UsageError for any other value.
class Options;
bool SkipDeleted(const Options& opts);

// True when the record image (deletion flag first) is marked deleted.
inline bool IsDeleted(const char* image) {
  return image[0] == '*';
}

// The names of the table's fields, in order.
std::vector<std::string> FieldNames(CDBFOperate& table);

// Fills one record image (deletion flag ' ' then the fields) from values given
// in the terminal's encoding, one per field. Character fields are padded on
// the right, numeric ones on the left and written with the field's decimals
// ("12.5" in N:8:3 is "  12.500"; more decimals than the field keeps are
// refused, not rounded). Throws ToolError (naming the line and
// the field) for a wrong number of values, a value too long for its field,
// a character the table code page lacks, or a value that does not suit the
// field type (N/F: a number; D: YYYYMMDD; L: one of TtFfYyNn?). Empty values
// are allowed everywhere and leave the field blank.
void EncodeRecord(CDBFOperate& table, const std::vector<std::string>& values, long line,
                  char* image);

// The values of the record in buffer slot, in the terminal's encoding, with
// the padding of each field removed (trailing spaces; leading ones too in
// numeric fields).
std::vector<std::string> DecodeRecord(CDBFOperate& table, int slot);

}  // namespace kestal::tool
