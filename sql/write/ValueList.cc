#include "sql/write/ValueList.h"

#include <charconv>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "platform/Mbcs.h"

namespace kestal::sqlwrite {
namespace {

// A field value holds at most this many bytes; wider fields are cut here.
constexpr int kMaxFieldText = CSQLOperate::kSlotSize - 1;

// The bytes of one field value inside a record image; not NUL-terminated.
struct FieldBytes {
  const char* data;
  size_t size;
};

// Width of a field as it advances the offset; a negative width from a broken
// field table counts as 0 so the offset never runs backwards.
int FieldWidth(const FIELDINFO& field) {
  return field.nWidth > 0 ? field.nWidth : 0;
}

// The text of the field at offset: its bytes up to its width, the first NUL or
// kMaxFieldText bytes, whichever comes first. Trailing blanks are kept.
FieldBytes FieldSpan(const char* record, int offset, int width) {
  int limit = width < kMaxFieldText ? width : kMaxFieldText;
  const char* start = record + offset;
  const void* nul = memchr(start, '\0', static_cast<size_t>(limit));
  size_t length =
      nul ? static_cast<size_t>(static_cast<const char*>(nul) - start) : static_cast<size_t>(limit);
  return {start, length};
}

CString FieldText(const char* record, int offset, int width) {
  FieldBytes bytes = FieldSpan(record, offset, width);
  return CString(bytes.data, static_cast<int>(bytes.size));
}

// The field text read as atol reads it (blanks skipped, optional sign, digits
// up to the first other byte; none gives 0), kept within int. The text is
// copied so that strtol stops at its end and never reads the next field.
int IntegerValue(FieldBytes text) {
  char copy[kMaxFieldText + 1];
  memcpy(copy, text.data, text.size);
  copy[text.size] = '\0';
  long value = strtol(copy, nullptr, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

// Appends value in decimal and a comma, as "%d," writes it.
void AppendInteger(std::string& out, long long value) {
  char digits[24];
  std::to_chars_result end = std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, end.ptr);
  out += ',';
}

// Appends "'text'," with every single quote doubled, so that a quote in the
// data ends neither the literal nor the statement. A GBK trail byte is never
// 0x27, so doubling byte by byte cannot split a double-byte character.
void AppendQuoted(std::string& out, FieldBytes text) {
  out += '\'';
  const char* at = text.data;
  const char* end = text.data + text.size;
  while (at < end) {
    const void* quote = memchr(at, '\'', static_cast<size_t>(end - at));
    if (quote == nullptr) {
      out.append(at, end);
      break;
    }
    const char* next = static_cast<const char*>(quote) + 1;
    out.append(at, next);
    out += '\'';
    at = next;
  }
  out += "',";
}

// The same for the max+1 lists, which are kept as CString.
void AppendQuoted(CString& list, const CString& text) {
  CString quoted = text;
  quoted.Replace("'", "''");
  list.AppendFormat("'%s',", quoted.c_str());
}

// True when the bulk-load format can carry text: no field terminator and no
// line end inside it (GBK trail bytes are never ',', CR or LF).
bool FitsBulkLine(FieldBytes text) {
  return memchr(text.data, ',', text.size) == nullptr &&
         memchr(text.data, '\r', text.size) == nullptr &&
         memchr(text.data, '\n', text.size) == nullptr;
}

bool IsNumberedField(const FIELDINFO& field) {
  CString upper = field.strName;
  upper.MakeUpper();
  return upper.Find("REC_NUM") >= 0;
}

// Appends the server-side numbering expression for field, with its trailing
// comma. With a base the name is written as a C string (up to its first NUL);
// without one it is written whole.
void AppendNumbering(std::string& out, const FIELDINFO& field, int nBaseNum) {
  if (nBaseNum > 0) {
    out += "select isnull(max(";
    out += field.strName.c_str();
    out += ")+1,";
    // Computed wide so that a base near INT_MAX cannot overflow.
    AppendInteger(out, static_cast<long long>(nBaseNum) + 10000001LL);
    out.back() = ')';
    out += ',';
  } else {
    out += "select isnull(max(";
    out += field.strName.str();
    out += ")+1,1),";
  }
}

void DropFinalComma(CString& list) {
  if (!list.IsEmpty()) list.Delete(list.GetLength() - 1);
}

int ClampCount(int count) {
  if (count < 0) return 0;
  return count > CSQLOperate::kMaxFields ? CSQLOperate::kMaxFields : count;
}

}  // namespace

bool AppendValueList(const FIELDINFO* fields, int count, const char* record, ValueForm form,
                     int nBaseNum, std::string& out) {
  const size_t start = out.size();
  int offset = 0;
  count = ClampCount(count);
  for (int i = 0; i < count; ++i) {
    const FIELDINFO& field = fields[i];
    const int width = FieldWidth(field);
    if (field.nType == kIntegerType) {
      if (form == ValueForm::kNumbered && IsNumberedField(field)) {
        AppendNumbering(out, field, nBaseNum);
      } else {
        AppendInteger(out, IntegerValue(FieldSpan(record, offset, width)));
      }
    } else if (field.nType != kOmittedType) {
      FieldBytes text = FieldSpan(record, offset, width);
      if (form == ValueForm::kBulkLine) {
        if (!FitsBulkLine(text)) return false;
        out.append(text.data, text.size);
        out += ',';
      } else {
        AppendQuoted(out, text);
      }
    }
    offset += width;
  }
  if (out.size() > start) out.pop_back();
  return true;
}

bool BuildValueList(const FIELDINFO* fields, int count, const char* record, ValueForm form,
                    int nBaseNum, CString& list) {
  std::string values;
  const bool built = AppendValueList(fields, count, record, form, nBaseNum, values);
  list = CString(values);
  return built;
}

void BuildMaxPlusOneLists(const FIELDINFO* fields, int count, const char* record, CString& main,
                          CString& fallback) {
  main.Empty();
  fallback.Empty();
  int offset = 0;
  count = ClampCount(count);
  for (int i = 0; i < count; ++i) {
    const FIELDINFO& field = fields[i];
    const int width = FieldWidth(field);
    if (field.nType == kIntegerType) {
      if (_mbsicmp(field.strName.c_str(), "REC_NUM") == 0) {
        CString next = "select max(" + field.strName + ")+1";
        main.AppendFormat("%s,", next.c_str());
        fallback.AppendFormat("%d,", 1);
      } else {
        int value = IntegerValue(FieldSpan(record, offset, width));
        main.AppendFormat("%d,", value);
        fallback.AppendFormat("%d,", value);
      }
    } else if (field.nType != kOmittedType) {
      CString text = FieldText(record, offset, width);
      AppendQuoted(main, text);
      AppendQuoted(fallback, text);
    }
    offset += width;
  }
  DropFinalComma(main);
  DropFinalComma(fallback);
}

}  // namespace kestal::sqlwrite
