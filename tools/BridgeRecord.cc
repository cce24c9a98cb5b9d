#include "tools/BridgeRecord.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "platform/Mbcs.h"
#include "tools/TerminalText.h"
#include "tools/ToolError.h"

namespace kestal::tool {
namespace {

constexpr int kIntType = 56;
constexpr int kOmittedType = 37;
constexpr int kIntWidth = 8;

// Catalog type codes of character columns: their values are padded with
// blanks to the width, as the file pads its character fields.
bool IsTextType(int type) {
  switch (type) {
    case 35:   // text
    case 39:   // varchar
    case 47:   // char
    case 99:   // ntext
    case 167:  // varchar (wide catalog code)
    case 175:  // char (wide catalog code)
    case 231:  // nvarchar
    case 239:  // nchar
      return true;
    default:
      return false;
  }
}

// The field name of a descriptor without its NUL padding.
std::string DbfName(const DBFFIELD& f) {
  return std::string(f.szName, strnlen(f.szName, sizeof f.szName));
}

// s without blanks at the end, and at the start when left is set.
std::string Trim(const std::string& s, bool left) {
  const size_t b = left ? s.find_first_not_of(' ') : 0;
  const size_t e = s.find_last_not_of(' ');
  if (b == std::string::npos || e == std::string::npos) return std::string();
  return s.substr(b, e - b + 1);
}

// An optional sign followed by at least one digit.
bool IsWholeNumber(const std::string& s) {
  size_t i = !s.empty() && (s[0] == '-' || s[0] == '+') ? 1 : 0;
  if (i == s.size()) return false;
  for (; i < s.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(s[i]))) return false;
  }
  return true;
}

// The longest prefix of text of at most width bytes that does not end inside
// a GBK double-byte character.
size_t CutLength(const std::string& text, size_t width) {
  size_t i = 0;
  while (i < text.size()) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const size_t step = c >= 0x81 && c <= 0xFE && i + 1 < text.size() ? 2 : 1;
    if (i + step > width) break;
    i += step;
  }
  return i;
}

}  // namespace

RecordMapper::RecordMapper(const CDBFOperate& dbf, const CSQLOperate& sql) {
  const int dbf_count = std::min<int>(dbf.m_nFieldCount, CDBFOperate::kMaxFields);
  std::vector<bool> dbf_used(static_cast<size_t>(dbf_count), false);
  std::string problems;
  bool has_rec_num = false;
  for (int i = 0; i < sql.m_nFieldCount && i < CSQLOperate::kMaxFields; ++i) {
    const FIELDINFO& f = sql.m_FieldInfo[i];
    Link link;
    link.width = f.nWidth;
    link.type = f.nType;
    link.name = f.strName.str();
    link.rec_num = _mbsicmp(f.strName.c_str(), "rec_num") == 0;
    for (int k = 0; k < dbf_count; ++k) {
      if (!dbf_used[k] && _mbsicmp(DbfName(dbf.m_Fields[k]).c_str(), f.strName.c_str()) == 0) {
        dbf_used[k] = true;
        link.dbf_offset = static_cast<int>(dbf.m_Fields[k].nOffset);
        link.dbf_length = dbf.m_Fields[k].nLength;
        const char t =
            static_cast<char>(std::toupper(static_cast<unsigned char>(dbf.m_Fields[k].cType)));
        link.dbf_numeric = t == 'N' || t == 'F';
        break;
      }
    }
    if (link.rec_num) {
      if (f.nType != kIntType) {
        problems += "; column " + ToTerminal(link.name) + " is not an int column";
      }
      has_rec_num = true;
    } else if (link.dbf_offset < 0 && f.nType != kOmittedType) {
      problems += "; column " + ToTerminal(link.name) + " has no field in the table file";
    }
    length_ += f.nWidth;
    links_.push_back(link);
  }
  for (int k = 0; k < dbf_count; ++k) {
    if (!dbf_used[k]) {
      problems += "; field " + ToTerminal(DbfName(dbf.m_Fields[k])) + " has no column in the table";
    }
  }
  if (!has_rec_num) {
    problems += "; the table has no int column rec_num, which numbers the records copied";
  }
  if (!problems.empty()) throw ToolError("bad field list: " + problems.substr(2));
}

void RecordMapper::Build(const char* dbf_image, long position, char* out) const {
  std::memset(out, ' ', static_cast<size_t>(length_));
  int offset = 0;
  for (const Link& link : links_) {
    char* field = out + offset;
    offset += link.width;
    std::string value;
    if (link.dbf_offset >= 0) {
      value.assign(dbf_image + link.dbf_offset, static_cast<size_t>(link.dbf_length));
      const size_t nul = value.find('\0');
      if (nul != std::string::npos) value.resize(nul);
    }
    // The message prefix is made only for a refusal: it converts text.
    auto at = [&] {
      return "record " + std::to_string(position) + ", column " + ToTerminal(link.name) + ": ";
    };
    if (link.rec_num) {
      const std::string in_file = Trim(value, true);
      const std::string want = std::to_string(position);
      if (!in_file.empty() && in_file != want &&
          !(IsWholeNumber(in_file) && atol(in_file.c_str()) == position)) {
        throw ToolError(at() + "REC_NUM is '" + ToTerminal(in_file) +
                        "' in the table file, not the record's position " + want +
                        " (append with --tag WTK to number records)");
      }
      value = want;
    }
    if (link.type == kOmittedType) continue;  // left out of every insert
    if (link.type == kIntType) {
      value = Trim(value, true);
      if (value.empty()) value = "0";
      if (!IsWholeNumber(value) || value.size() > kIntWidth) {
        throw ToolError(at() + "'" + ToTerminal(value) +
                        "' is not a whole number of at most 8 characters");
      }
      std::memset(field, 0, static_cast<size_t>(link.width));
      std::memcpy(field, value.data(), value.size());
    } else if (IsTextType(link.type)) {
      value = Trim(value, link.dbf_numeric);
      std::memcpy(field, value.data(), CutLength(value, static_cast<size_t>(link.width)));
    } else {
      value = Trim(value, true);
      if (value.size() > static_cast<size_t>(link.width)) {
        throw ToolError(at() + "'" + ToTerminal(value) + "' is longer than the column's " +
                        std::to_string(link.width) + " bytes");
      }
      std::memset(field, 0, static_cast<size_t>(link.width));
      std::memcpy(field, value.data(), value.size());
    }
  }
}

}  // namespace kestal::tool
