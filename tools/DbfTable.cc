#include "tools/DbfTable.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tools/DbfCodepage.h"
#include "tools/DbfHeader.h"
#include "tools/DbfSchema.h"
#include "tools/Options.h"
#include "tools/TerminalText.h"
#include "tools/ToolError.h"

namespace kestal::tool {
namespace {

// The field name without its NUL padding.
std::string NameOf(const DBFFIELD& f) {
  return std::string(f.szName, strnlen(f.szName, 11));
}

// The number of descriptors the table holds (at most 100).
int HeldFields(const CDBFOperate& table) {
  return std::min<int>(table.m_nFieldCount, CDBFOperate::kMaxFields);
}

// s without trailing spaces, and without leading ones when left is set.
std::string Trimmed(const std::string& s, bool left) {
  size_t b = left ? s.find_first_not_of(' ') : 0;
  size_t e = s.find_last_not_of(' ');
  if (b == std::string::npos || e == std::string::npos) return std::string();
  return s.substr(b, e - b + 1);
}

// The field type letter in upper case.
char TypeOf(const DBFFIELD& f) {
  return static_cast<char>(std::toupper(static_cast<unsigned char>(f.cType)));
}

// Numeric fields are padded on the left, all others on the right.
bool RightAligned(const DBFFIELD& f) {
  return TypeOf(f) == 'N' || TypeOf(f) == 'F';
}

// An optional sign, digits, and at most one decimal point.
bool IsNumber(const std::string& s) {
  size_t i = 0;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) ++i;
  bool digits = false, point = false;
  for (; i < s.size(); ++i) {
    if (std::isdigit(static_cast<unsigned char>(s[i]))) {
      digits = true;
    } else if (s[i] == '.' && !point) {
      point = true;
    } else {
      return false;
    }
  }
  return digits;
}

// YYYYMMDD with a month from 1 to 12 and a day from 1 to 31.
bool IsDate(const std::string& s) {
  if (s.size() != 8) return false;
  for (char c : s) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  }
  const int month = (s[4] - '0') * 10 + (s[5] - '0');
  const int day = (s[6] - '0') * 10 + (s[7] - '0');
  return month >= 1 && month <= 12 && day >= 1 && day <= 31;
}

// Why value does not suit a field of type, or "" when it does.
std::string TypeProblem(char type, const std::string& value) {
  switch (type) {
    case 'N':
    case 'F':
      return IsNumber(value) ? "" : "is not a number";
    case 'D':
      return IsDate(value) ? "" : "is not a date YYYYMMDD";
    case 'L':
      return value.size() == 1 && std::strchr("TtFfYyNn?", value[0]) != nullptr
                 ? ""
                 : "is not one of T, F, Y, N, ?";
    default:
      return "";
  }
}

// The number value written with exactly decimals digits after the point, as
// a numeric field holds it ("12.5" in N:8:3 is "12.500"): a leading '+' and
// zeros before the first digit go, a missing integer part becomes 0. Returns
// false with the reason when value has more decimals than the field, other
// than zeros: the input is refused rather than rounded.
bool FormatNumber(const std::string& value, int decimals, std::string* out, std::string* why) {
  std::string sign;
  std::string rest = value;
  if (!rest.empty() && (rest[0] == '-' || rest[0] == '+')) {
    if (rest[0] == '-') sign = "-";
    rest.erase(0, 1);
  }
  const size_t point = rest.find('.');
  std::string whole = rest.substr(0, point);
  std::string fraction = point == std::string::npos ? "" : rest.substr(point + 1);
  while (whole.size() > 1 && whole[0] == '0') whole.erase(0, 1);
  if (whole.empty()) whole = "0";
  while (static_cast<int>(fraction.size()) > decimals && fraction.back() == '0')
    fraction.pop_back();
  if (static_cast<int>(fraction.size()) > decimals) {
    *why = "has " + std::to_string(fraction.size()) +
           (fraction.size() == 1 ? " decimal" : " decimals") + ", the field keeps " +
           std::to_string(decimals);
    return false;
  }
  fraction.append(static_cast<size_t>(decimals) - fraction.size(), '0');
  const bool zero = whole == "0" && fraction.find_first_not_of('0') == std::string::npos;
  *out = (zero ? "" : sign) + whole + (decimals > 0 ? "." + fraction : "");
  return true;
}

// Why path cannot be opened with flags as a table file, from the system, or
// "" when it can.
std::string OpenProblem(const std::string& path, int flags) {
  const int fd = open(path.c_str(), flags | O_CLOEXEC);
  if (fd < 0) return strerror(errno);
  struct stat st {};
  const bool folder = fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
  close(fd);
  return folder ? strerror(EISDIR) : std::string();
}

// Throws ToolError for a table that failed to open: the library's text for a
// malformed file, else the system's reason.
[[noreturn]] void OpenFailed(CDBFOperate* table, const std::string& path, int flags) {
  std::string why = table->GetLastErrorMsg().str();
  if (why.empty()) why = OpenProblem(path, flags);
  throw ToolError("cannot open table file '" + path + "'" + (why.empty() ? "" : ": " + why));
}

// Refuses a layout the commands cannot serve safely.
void CheckLayout(CDBFOperate* table, const std::string& path) {
  const std::string bad = "'" + path + "' is not a table file the tool can serve: ";
  if (table->m_nFieldCount > CDBFOperate::kMaxFields) {
    throw ToolError(bad + std::to_string(table->m_nFieldCount) + " fields, at most " +
                    std::to_string(CDBFOperate::kMaxFields));
  }
  if (table->m_nRecLen < 1 || table->m_nRecLen > kMaxRecordLength) {
    throw ToolError(bad + "record length " + std::to_string(table->m_nRecLen) + ", want 1 to " +
                    std::to_string(kMaxRecordLength));
  }
  for (int i = 0; i < HeldFields(*table); ++i) {
    const DBFFIELD& f = table->m_Fields[i];
    if (f.nLength == 0 || f.nOffset + f.nLength > table->m_nRecLen) {
      throw ToolError(bad + "field " + std::to_string(i + 1) + " does not fit the record length " +
                      std::to_string(table->m_nRecLen));
    }
  }
}

// Refuses a file of another dBASE-family version whose header the library
// would misread (its descriptors taken from the wrong bytes), naming the
// version, before the library opens it; then picks the code page of its text.
void CheckVersionAndCodepage(const std::string& path) {
  DbfHeader header;
  std::string why;
  if (!ReadDbfHeader(path, &header, &why)) return;  // opening names the reason
  why = UnreadableLayout(header);
  if (!why.empty()) throw ToolError(UnreadableMessage(path, header, why));
  UseTableCodepage(path);
}

}  // namespace

std::string UnreadableMessage(const std::string& path, const DbfHeader& header,
                              const std::string& why) {
  char byte[8];
  snprintf(byte, sizeof byte, "0x%02X", header.version);
  return "'" + path + "' is a " + VersionName(header.version) + " table (version byte " + byte +
         "), which the tool cannot read: " + why;
}

void OpenTable(CDBFOperate* table, const std::string& path) {
  CheckVersionAndCodepage(path);
  if (!table->OpenReadOnly(path.c_str())) OpenFailed(table, path, O_RDONLY);
  CheckLayout(table, path);
}

void OpenTableForAppend(CDBFOperate* table, const std::string& path) {
  CheckVersionAndCodepage(path);
  if (!table->Open(path.c_str())) {
    const std::string why = OpenProblem(path, O_RDWR);
    if (!why.empty() && OpenProblem(path, O_RDONLY).empty()) {
      throw ToolError("table file '" + path + "' is read-only (" + why +
                      "): appending needs write access to it");
    }
    OpenFailed(table, path, O_RDWR);
  }
  CheckLayout(table, path);
}

long RecordsHeld(const std::string& path, const CDBFOperate& table) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0 || st.st_size < table.m_nHeadLen || table.m_nRecLen == 0) {
    return -1;
  }
  return static_cast<long>((st.st_size - table.m_nHeadLen) / table.m_nRecLen);
}

void StopIfFileIsShort(const CDBFOperate& table, const std::string& path) {
  // The count was read before the file is looked at, and writers put records
  // before the count, so a sound file always holds at least that many.
  const long counted = table.m_lTotalCount;
  const long held = RecordsHeld(path, table);
  if (held < 0 || held >= counted) return;
  throw ToolError("table file '" + path + "' is damaged or cut: its header counts " +
                  std::to_string(counted) + " records but the file holds only " +
                  std::to_string(held));
}

bool SkipDeleted(const Options& opts) {
  const std::string policy = opts.Get("deleted", "copy");
  if (policy != "copy" && policy != "skip") {
    throw UsageError(BadOptionValue("deleted", "copy or skip", policy));
  }
  return policy == "skip";
}

std::vector<std::string> FieldNames(CDBFOperate& table) {
  std::vector<std::string> names;
  for (int i = 0; i < HeldFields(table); ++i) names.push_back(NameOf(table.m_Fields[i]));
  return names;
}

void EncodeRecord(CDBFOperate& table, const std::vector<std::string>& values, long line,
                  char* image) {
  const int n = HeldFields(table);
  const std::string at = "CSV input line " + std::to_string(line) + ": ";
  if (static_cast<int>(values.size()) != n) {
    throw ToolError(at + std::to_string(values.size()) + " values, the table has " +
                    std::to_string(n) + " fields");
  }
  std::memset(image, ' ', table.m_nRecLen);
  for (int i = 0; i < n; ++i) {
    const DBFFIELD& f = table.m_Fields[i];
    const std::string field = at + "field " + NameOf(f) + ": ";
    std::string value;
    if (!FromTerminal(values[i], &value)) {
      throw ToolError(field + "text that the table's code page cannot hold");
    }
    const bool right = RightAligned(f);
    if (right) value = Trimmed(value, true);
    if (value.empty()) continue;
    const std::string problem = TypeProblem(TypeOf(f), value);
    if (!problem.empty()) throw ToolError(field + "'" + values[i] + "' " + problem);
    if (right) {
      std::string why;
      if (!FormatNumber(std::string(value), f.nDecimal, &value, &why)) {
        throw ToolError(field + "'" + values[i] + "' " + why);
      }
    }
    if (value.size() > f.nLength) {
      throw ToolError(field + "'" + values[i] + "' is " + std::to_string(value.size()) +
                      " bytes, the field holds " + std::to_string(f.nLength));
    }
    if (value.find('\0') != std::string::npos) throw ToolError(field + "a NUL byte");
    const size_t pad = right ? f.nLength - value.size() : 0;
    std::memcpy(image + f.nOffset + pad, value.data(), value.size());
  }
}

std::vector<std::string> DecodeRecord(CDBFOperate& table, int slot) {
  std::vector<std::string> values;
  for (int i = 0; i < HeldFields(table); ++i) {
    const DBFFIELD& f = table.m_Fields[i];
    const CString raw = table.GetFieldValue(slot, CString(NameOf(f)));
    values.push_back(ToTerminal(Trimmed(raw.str(), RightAligned(f))));
  }
  return values;
}

}  // namespace kestal::tool
