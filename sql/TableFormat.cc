// Schema mapping: the field table learned from sysobjects/syscolumns, the
// insert statement head, field values of buffered record images, and the
// filter condition cleanup used by the window fetches.
#include <cstdlib>
#include <cstring>

#include "platform/Mbcs.h"
#include "sql/SQLOperate.h"
#include "sql/Statement.h"

namespace {

constexpr uint8_t kIntType = 56;      // catalog code of int columns
constexpr uint8_t kOmittedType = 37;  // catalog code of columns left out of inserts
constexpr int32_t kIntWidth = 8;      // image width of an int column
constexpr int kImageSlots = 100;      // slots a block read can fill

// The value of column name in the current row as text in the process code
// page. Raises _com_error for a NULL or an unknown column.
CString ReadText(const _RecordsetPtr& rs, const char* name) {
  return rs->GetCollect(name);
}

// Runs sql through a fresh Command bound to connection and returns its rows.
_RecordsetPtr Run(const _ConnectionPtr& connection, const CString& sql) {
  return kestal::statement::ExecuteQuery(kestal::statement::NewCommand(connection), sql);
}

// True when a clause of the caller's condition is to be dropped.
bool MentionsToday(const CString& piece) {
  return piece.Find("LONGTODAY") >= 0;
}

// Empties the entries of a field table that was refused half-built, so that no
// later operation keys or lays out images by a table that was never complete.
// Returns 0, the result of the refused mapping.
int RefuseTable(FIELDINFO* table, uint16_t& count) {
  for (int i = 0; i < count && i < CSQLOperate::kMaxFields; ++i) table[i] = FIELDINFO{};
  count = 0;
  return 0;
}

}  // namespace

// Builds the field table (counting up from m_nFieldCount, which the caller
// set to 0), counts the rows and opens the whole-table result set, deferred
// to its first read or move (sql/db/README.md). Returns 1,
// or 0 when the catalog has no such table or its columns do not fit a record
// image (more than 100 columns, a width above 511, or above 512 in all); then
// the field table is left empty and the result set and counters untouched.
// Database errors raise _com_error.
int CSQLOperate::SetTableFormat() {
  // database..table is looked up by its table part; a name that starts with
  // ".." is looked up whole.
  CString lookup = m_strTableName;
  const int dots = m_strTableName.Find("..");
  if (dots > 0) lookup = m_strTableName.Mid(dots + 2);

  CString sql;
  sql.Format("select * from sysobjects where name='%s'", lookup.c_str());
  _RecordsetPtr objects = Run(m_pConnection, sql);
  if (objects->GetRecordCount() == 0) {
    objects->Close();
    return 0;
  }

  const CString id = ReadText(objects, "id");
  _RecordsetPtr columns = Run(m_pConnection, "select * from syscolumns where id=" + id);
  int32_t usedWidth = 0;
  for (long row = 1; row <= columns->GetRecordCount(); ++row) {
    // Refused before anything is written past the table or past a slot.
    if (m_nFieldCount >= kMaxFields) return RefuseTable(m_FieldInfo, m_nFieldCount);
    const CString name = ReadText(columns, "name");
    const int type = atoi(ReadText(columns, "type"));
    const int32_t width = type == kIntType ? kIntWidth : atoi(ReadText(columns, "length"));
    if (width < 0 || width > kSlotSize - 1 || usedWidth + width > kSlotSize) {
      return RefuseTable(m_FieldInfo, m_nFieldCount);
    }
    FIELDINFO& entry = m_FieldInfo[m_nFieldCount];
    entry.strName = name;
    entry.nType = static_cast<uint8_t>(type);
    entry.nWidth = width;
    usedWidth += width;
    m_nFieldCount = static_cast<uint16_t>(m_nFieldCount + 1);
    columns->MoveNext();
  }
  columns->Close();
  objects->Close();

  sql.Format("select count(*) as ALLRECORDS from %s", m_strTableName.c_str());
  _RecordsetPtr count = Run(m_pConnection, sql);
  const int32_t rows = atoi(ReadText(count, "ALLRECORDS"));
  m_lCurrentPos = rows;
  m_lTotalRecord = rows;
  count->Close();

  // The whole-table result runs when the host first reads or moves the table
  // cursor: a follower that only fetches windows never pays for every row.
  sql.Format("select * from %s ", m_strTableName.c_str());
  m_pRecordset = kestal::statement::DeferQuery(m_pConnection, sql);
  return 1;
}

// Builds m_strInsertSQL = "insert into T (c1,c2,...) " from every field whose
// type is not 37.
void CSQLOperate::SetInsertSQL() {
  CString columns;
  for (int i = 0; i < m_nFieldCount && i < kMaxFields; ++i) {
    if (m_FieldInfo[i].nType == kOmittedType) continue;
    columns += m_FieldInfo[i].strName;
    columns += ",";
  }
  if (!columns.IsEmpty()) columns.Delete(columns.GetLength() - 1);
  m_strInsertSQL.Format("insert into %s (%s) ", m_strTableName.c_str(), columns.c_str());
}

// Returns the text of field strField in the image of slot nIndex (0 to 99), up
// to its first NUL and at most the field's width; "" for an unknown field or a
// bad slot. Never reads outside the slot, even for a field table the host has
// changed by hand.
CString CSQLOperate::GetFieldValue(int nIndex, CString strField) {
  char value[kSlotSize + 1];
  std::memset(value, 0, sizeof(value));
  if (nIndex < 0 || nIndex >= kImageSlots) return CString();

  const char* image = m_szRecordBuf + static_cast<size_t>(nIndex) * kSlotSize;
  long offset = 0;
  for (int i = 0; i < m_nFieldCount && i < kMaxFields; ++i) {
    const int32_t width = m_FieldInfo[i].nWidth;
    if (_mbsicmp(strField.c_str(), m_FieldInfo[i].strName.c_str()) == 0) {
      if (width > 0 && offset >= 0 && offset < kSlotSize) {
        const long room = kSlotSize - offset;
        std::memcpy(value, image + offset, static_cast<size_t>(width < room ? width : room));
      }
      break;
    }
    offset += width;
  }
  return CString(value);
}

// Appends to strResult every "and"-terminated clause of strCondition that does
// not mention LONGTODAY, then turns braces into parentheses and double quotes
// into single quotes. When the last clause is dropped, the "and" that joined
// it is dropped too, so the result never ends in a dangling "and".
void CSQLOperate::FormatSQL(CString& strResult, CString strCondition) {
  int position = 0;
  bool appended = false;
  for (int k = strCondition.Find("and", position); k >= 0; k = strCondition.Find("and", position)) {
    const CString piece = strCondition.Mid(position, k - position + 3);
    if (!MentionsToday(piece)) {
      strResult += piece;
      appended = true;
    }
    position = k + 3;
  }
  const CString rest = strCondition.Mid(position);
  const bool lastDropped = MentionsToday(rest);
  if (!lastDropped) strResult += rest;

  // Every kept clause before a dropped last one ends in its joining "and";
  // left in place it would make "(a and )" in the caller's where clause.
  if (lastDropped && appended && strResult.Right(3) == "and") {
    strResult.Delete(strResult.GetLength() - 3, 3);
  }

  strResult.Replace("{", "(");
  strResult.Replace("}", ")");
  strResult.Replace("\"", "'");
}
