#include "sql/write/ValueList.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include "platform/Mbcs.h"

namespace kestal::sqlwrite {
namespace {

// A field value holds at most this many bytes; wider fields are cut here.
constexpr int kMaxFieldText = CSQLOperate::kSlotSize - 1;

// Width of a field as it advances the offset; a negative width from a broken
// field table counts as 0 so the offset never runs backwards.
int FieldWidth(const FIELDINFO& field) {
  return field.nWidth > 0 ? field.nWidth : 0;
}

// The text of the field at offset: its bytes up to its width, the first NUL or
// kMaxFieldText bytes, whichever comes first. Trailing blanks are kept.
CString FieldText(const char* record, int offset, int width) {
  int limit = width < kMaxFieldText ? width : kMaxFieldText;
  const char* start = record + offset;
  const void* nul = memchr(start, '\0', static_cast<size_t>(limit));
  int length = nul ? static_cast<int>(static_cast<const char*>(nul) - start) : limit;
  return CString(start, length);
}

// The field text read as atol reads it (blanks skipped, optional sign, digits
// up to the first other byte; none gives 0), kept within int.
int IntegerValue(const CString& text) {
  long value = strtol(text.c_str(), nullptr, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

// "'text'," with every single quote doubled, so that a quote in the data
// ends neither the literal nor the statement. A GBK trail byte is never
// 0x27, so doubling byte by byte cannot split a double-byte character.
void AppendQuoted(CString& list, const CString& text) {
  CString quoted = text;
  quoted.Replace("'", "''");
  list.AppendFormat("'%s',", quoted.c_str());
}

// True when the bulk-load format can carry text: no field terminator and no
// line end inside it (GBK trail bytes are never ',', CR or LF).
bool FitsBulkLine(const CString& text) {
  return text.Find(',') < 0 && text.Find('\r') < 0 && text.Find('\n') < 0;
}

bool IsNumberedField(const FIELDINFO& field) {
  CString upper = field.strName;
  upper.MakeUpper();
  return upper.Find("REC_NUM") >= 0;
}

// The server-side numbering expression for field, with its trailing comma.
void AppendNumbering(CString& list, const FIELDINFO& field, int nBaseNum) {
  if (nBaseNum > 0) {
    // Computed wide so that a base near INT_MAX cannot overflow.
    list.AppendFormat("select isnull(max(%s)+1,%lld),", field.strName.c_str(),
                      static_cast<long long>(nBaseNum) + 10000001LL);
  } else {
    list += "select isnull(max(";
    list += field.strName;
    list += ")+1,1),";
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

bool BuildValueList(const FIELDINFO* fields, int count, const char* record, ValueForm form,
                    int nBaseNum, CString& list) {
  list.Empty();
  int offset = 0;
  count = ClampCount(count);
  for (int i = 0; i < count; ++i) {
    const FIELDINFO& field = fields[i];
    const int width = FieldWidth(field);
    if (field.nType == kIntegerType) {
      if (form == ValueForm::kNumbered && IsNumberedField(field)) {
        AppendNumbering(list, field, nBaseNum);
      } else {
        list.AppendFormat("%d,", IntegerValue(FieldText(record, offset, width)));
      }
    } else if (field.nType != kOmittedType) {
      CString text = FieldText(record, offset, width);
      if (form == ValueForm::kBulkLine) {
        if (!FitsBulkLine(text)) return false;
        list.AppendFormat("%s,", text.c_str());
      } else {
        AppendQuoted(list, text);
      }
    }
    offset += width;
  }
  DropFinalComma(list);
  return true;
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
        int value = IntegerValue(FieldText(record, offset, width));
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
