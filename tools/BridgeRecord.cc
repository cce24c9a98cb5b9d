// Matching file fields with table columns, and building one record image
// per file record with every value converted by ValueCheck.
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

// "C(6)", "N(8,2)": a field's type as dBASE lists it.
std::string DescribeField(const DBFFIELD& f) {
  std::string text(1, static_cast<char>(std::toupper(static_cast<unsigned char>(f.cType))));
  text += "(" + std::to_string(f.nLength);
  if (f.nDecimal != 0) text += "," + std::to_string(f.nDecimal);
  return text + ")";
}

// s without blanks around it.
std::string TrimBoth(const std::string& s) {
  const size_t b = s.find_first_not_of(' ');
  if (b == std::string::npos) return std::string();
  return s.substr(b, s.find_last_not_of(' ') - b + 1);
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

}  // namespace

RecordMapper::RecordMapper(const CDBFOperate& dbf, const std::vector<ColumnType>& columns,
                           const ValueRules& rules, const FieldMap& map)
    : rules_(rules) {
  const int dbf_count = std::min<int>(dbf.m_nFieldCount, CDBFOperate::kMaxFields);
  std::vector<bool> dbf_used(static_cast<size_t>(dbf_count), false);
  std::string problems;
  bool has_rec_num = false;
  std::vector<int> column_of(static_cast<size_t>(dbf_count), -1);
  const int count = std::min<int>(CSQLOperate::kMaxFields, static_cast<int>(columns.size()));
  for (int i = 0; i < count; ++i) {
    Link link;
    link.column = columns[static_cast<size_t>(i)];
    link.rec_num = _mbsicmp(link.column.name.c_str(), "rec_num") == 0;
    const std::string name = ToTerminal(link.column.name);
    for (int k = 0; k < dbf_count; ++k) {
      const std::string target = map.TargetOf(FieldName(dbf.m_Fields[k]));
      if (!dbf_used[k] && !target.empty() &&
          _mbsicmp(target.c_str(), link.column.name.c_str()) == 0) {
        dbf_used[k] = true;
        column_of[k] = i;
        link.dbf_offset = static_cast<int>(dbf.m_Fields[k].nOffset);
        link.dbf_length = dbf.m_Fields[k].nLength;
        const char t =
            static_cast<char>(std::toupper(static_cast<unsigned char>(dbf.m_Fields[k].cType)));
        link.dbf_numeric = t == 'N' || t == 'F';
        break;
      }
    }
    const bool omitted = link.column.code == 37;
    if (link.rec_num) {
      if (link.column.code != 56) problems += "; column " + name + " is not an int column";
      has_rec_num = true;
    } else if (omitted) {
      if (link.dbf_offset >= 0) {
        problems += "; field " + name + " goes to column " + name + " (" +
                    DescribeColumn(link.column) + "), which inserts leave out";
      } else {
        unfilled_.push_back(name + " (" + DescribeColumn(link.column) + ")");
      }
    } else if (link.dbf_offset < 0) {
      problems += "; column " + name + " has no field in the table file";
    }
    // Omitted columns keep their width: the library skips it in the image.
    link.width =
        omitted ? std::max(link.column.length, 1) : ConvertedWidth(link.column, link.dbf_length);
    length_ += link.width;
    links_.push_back(link);
  }
  for (int k = 0; k < dbf_count; ++k) {
    const DBFFIELD& f = dbf.m_Fields[k];
    FieldPlan line{ToTerminal(FieldName(f)), DescribeField(f), std::string(), std::string()};
    if (column_of[k] >= 0) {
      const ColumnType& c = columns[static_cast<size_t>(column_of[k])];
      line.column = ToTerminal(c.name);
      line.column_type = DescribeColumn(c);
    } else if (!map.Ignores(FieldName(f))) {
      problems += "; field " + line.field + " has no column in the table";
    }
    plan_.push_back(line);
  }
  if (!has_rec_num) {
    problems += "; the table has no int column rec_num, which numbers the records copied";
  }
  if (!problems.empty()) throw ToolError("bad field list: " + problems.substr(2));
}

std::vector<int> RecordMapper::widths() const {
  std::vector<int> out;
  for (const Link& link : links_) out.push_back(link.width);
  return out;
}

void RecordMapper::Build(const char* dbf_image, long position, char* out) const {
  std::memset(out, 0, static_cast<size_t>(length_));
  // Scratch texts of this thread, reused field after field and record after
  // record so that a record costs no allocation once they have grown.
  thread_local std::string value;
  thread_local std::string text;
  thread_local std::string why;
  int offset = 0;
  for (const Link& link : links_) {
    char* field = out + offset;
    offset += link.width;
    if (link.column.kind == ColumnKind::kOmitted) continue;  // left out of every insert
    value.clear();
    if (link.dbf_offset >= 0) {
      // The field's bytes up to the first NUL.
      const char* bytes = dbf_image + link.dbf_offset;
      const void* nul = std::memchr(bytes, '\0', static_cast<size_t>(link.dbf_length));
      value.assign(bytes, nul != nullptr
                              ? static_cast<size_t>(static_cast<const char*>(nul) - bytes)
                              : static_cast<size_t>(link.dbf_length));
    }
    // The message prefix is made only for a refusal: it converts text.
    auto at = [&] {
      return "record " + std::to_string(position) + ", column " + ToTerminal(link.column.name) +
             ": ";
    };
    if (link.rec_num) {
      const std::string in_file = TrimBoth(value);
      const std::string want = std::to_string(position);
      if (!in_file.empty() && in_file != want &&
          !(IsWholeNumber(in_file) && atol(in_file.c_str()) == position)) {
        throw ToolError(at() + "REC_NUM is '" + ToTerminal(in_file) +
                        "' in the table file, not the record's position " + want +
                        " (append with --numbered to number records)");
      }
      value = want;
    }
    text.clear();
    why.clear();
    if (!ConvertValue(link.column, value, link.dbf_numeric, rules_, &text, &why)) {
      throw ValueRefused(at() + why);
    }
    if (text.size() > static_cast<size_t>(link.width)) {
      throw ValueRefused(at() + "the value takes " + std::to_string(text.size()) +
                         " bytes, more than the " + std::to_string(link.width) +
                         " bytes the bridge passes per value");
    }
    // The library reads a value up to its first NUL or the width.
    std::memcpy(field, text.data(), text.size());
  }
}

}  // namespace kestal::tool
