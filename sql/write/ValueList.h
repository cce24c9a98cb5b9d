// Value lists of the insert paths: how one record image becomes the values of
// an INSERT statement or one line of the bulk-load file. Shared by the single
// inserts and the order buffer so that both write every value the same way.
//
// A record image holds the fields of the field table in order, each exactly
// nWidth bytes, from byte 0. Fields of type 37 are left out of every list but
// still occupy their width. The image is only read.
#pragma once

#include <string>

#include "platform/String.h"
#include "sql/SQLOperate.h"

namespace kestal::sqlwrite {

// Type codes of the field table that the insert paths tell apart.
constexpr int kIntegerType = 56;
constexpr int kOmittedType = 37;

// How the values of one record are written.
enum class ValueForm {
  kQuoted,    // integers "%d,", texts "'%s'," with quotes doubled
  kNumbered,  // as kQuoted, but an integer field whose upper-cased name contains
              // REC_NUM gets the server-side numbering expression
  kBulkLine,  // integers "%d,", texts "%s," bare: one line of the bulk-load file
};

// Builds the value list of record in form, without its final comma, into
// list. nBaseNum only matters for kNumbered. Returns false (list undefined)
// when a text value cannot be written in this form: in kBulkLine a value
// holding the field terminator ',' or a CR or LF would shift the columns.
bool BuildValueList(const FIELDINFO* fields, int count, const char* record, ValueForm form,
                    int nBaseNum, CString& list);

// The same list appended to out, whose earlier content is kept: for callers
// that build a whole entry in one reused string. Returns false on the same
// refusal as BuildValueList; out then holds a partial list past its old end.
bool AppendValueList(const FIELDINFO* fields, int count, const char* record, ValueForm form,
                     int nBaseNum, std::string& out);

// Builds the two lists of the max+1 insert: in main the field named REC_NUM
// (any case) gets "select max(name)+1", in fallback it gets 1; every other
// field has its quoted value in both. Neither list keeps its final comma.
void BuildMaxPlusOneLists(const FIELDINFO* fields, int count, const char* record, CString& main,
                          CString& fallback);

}  // namespace kestal::sqlwrite
