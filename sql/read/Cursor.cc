// The table cursor, the window cursor and the rescan cursor over the object's
// one result set, m_pRecordset, and the totals read from it or the table.
//
// Positions: m_lCurrentPos is the table and rescan cursor, bounded by
// m_lTotalRecord (table) or m_lCnt (rescan); m_lCurRow is the window cursor,
// bounded by m_lCnt. m_lCnt == 0 means no window is loaded. Every placement
// is a move to the first row followed by one relative move.
#include <cstdlib>

#include "sql/SQLOperate.h"
#include "sql/Statement.h"
#include "sql/read/ReadHelpers.h"

using kestal::read::PlaceOnRow;
using kestal::read::ReadText;
using kestal::statement::NewCommand;

// Sets the table cursor's position; no bounds are applied.
void CSQLOperate::SetStartPos(long lPos) {
  m_lCurrentPos = static_cast<int32_t>(lPos);
}

// Returns m_lCurrentPos as decimal text.
CString CSQLOperate::GetCurrentPos() {
  CString text;
  text.Format("%d", m_lCurrentPos);
  return text;
}

// Returns m_lCurrentPos + 1 as decimal text.
CString CSQLOperate::GetTotalRecord() {
  CString text;
  text.Format("%d", static_cast<int>(static_cast<int64_t>(m_lCurrentPos) + 1));
  return text;
}

// Returns the rec_num of the current row as text, or "" on any failure.
CString CSQLOperate::GetTotalRecordEx() {
  try {
    return ReadText(m_pRecordset, "rec_num");
  } catch (...) {
    return CString();
  }
}

// Returns the table's highest rec_num plus one as decimal text ("1" for an
// empty table) and keeps it in m_strMaxNum; "0" on any failure, leaving
// m_strMaxNum as it was.
CString CSQLOperate::GetMaxNum() {
  try {
    _CommandPtr command = NewCommand(m_pConnection);
    CString sql;
    sql.Format("select max(rec_num) as rec_num from %s ", m_strTableName.c_str());
    command->PutCommandText(sql);
    _RecordsetPtr rs = command->Execute(adCmdText);
    _variant_t value = rs->GetCollect("rec_num");
    CString text = value.IsNull() ? CString("0") : value.ToString();
    rs->Close();
    CString result;
    result.Format("%d", static_cast<int>(static_cast<int64_t>(std::atol(text.c_str())) + 1));
    m_strMaxNum = result;
    return result;
  } catch (...) {
    return CString("0");
  }
}

// Steps the table or rescan cursor; no bounds are applied.
void CSQLOperate::MoveNext() {
  ++m_lCurrentPos;
}
void CSQLOperate::MovePrev() {
  --m_lCurrentPos;
}

// Steps the window cursor; passing the last row empties the window so that
// the next window fetch queries again.
void CSQLOperate::MoveNextEx() {
  ++m_lCurRow;
  if (static_cast<int64_t>(m_lCurRow) + 1 > m_lCnt) m_lCnt = 0;
}
void CSQLOperate::MovePrevEx() {
  --m_lCurRow;
}

// Returns 1 with m_pRecordset on window row m_lCurRow, or 0 (window emptied)
// when that row lies past the window. A failing move raises _com_error.
int CSQLOperate::SeekToCurrentPos() {
  if (m_lCnt < static_cast<int64_t>(m_lCurRow) + 1) {
    m_lCnt = 0;
    return 0;
  }
  PlaceOnRow(m_pRecordset, m_lCurRow);
  return 1;
}

// Returns 1 with the table cursor placed on row m_lCurrentPos, re-reading the
// table when it has grown past the known row count (which unloads any window
// or rescan); 0 while the table has no such row and after any failure
// (database errors get the reconnection rule, also those of a whole-table
// statement deferred by Open or by an earlier call, which run at the
// placement).
int CSQLOperate::GetRecordset() {
  try {
    _CommandPtr command = NewCommand(m_pConnection);
    if (m_lTotalRecord < static_cast<int64_t>(m_lCurrentPos) + 1) {
      CString sql;
      sql.Format("select count(*) as ALLRECORDS from %s", m_strTableName.c_str());
      command->PutCommandText(sql);
      _RecordsetPtr counted = command->Execute(adCmdText);
      long rows = std::atol(ReadText(counted, "ALLRECORDS").c_str());
      counted->Close();
      if (rows > m_lTotalRecord) {
        // Runs at the placement below; when the position is still past the
        // count nothing is read.
        sql.Format("select * from %s ", m_strTableName.c_str());
        m_pRecordset = kestal::statement::DeferQuery(m_pConnection, sql);
        // The window or rescan that was loaded is gone with its result set.
        m_lCnt = 0;
        m_lCurRow = 0;
        m_lTotalRecord = static_cast<int32_t>(rows);
      }
    }
    if (m_lTotalRecord < static_cast<int64_t>(m_lCurrentPos) + 1) return 0;
    if (m_pRecordset && m_pRecordset->IsDeferred()) {
      // The whole-table statement runs now and sees the table as it stands
      // now. Rows deleted since the count leave it shorter: the count
      // follows it down, so that positions past its end are no rows (rather
      // than a placement after the last row) and the next call recounts.
      const long held = m_pRecordset->GetRecordCount();
      if (held < m_lTotalRecord) m_lTotalRecord = static_cast<int32_t>(held);
      if (m_lTotalRecord < static_cast<int64_t>(m_lCurrentPos) + 1) return 0;
    }
    PlaceOnRow(m_pRecordset, m_lCurrentPos);
    return 1;
  } catch (const _com_error& e) {
    ReconnectAfter(e);
    return 0;
  } catch (...) {
    return 0;
  }
}

// Returns 1 with the rescan cursor placed on row m_lCurrentPos when that row
// exists, 0 otherwise. Does not advance. A failing move raises _com_error.
int CSQLOperate::GetNextRecord() {
  if (m_lCurrentPos < m_lCnt && m_lCnt > 0) {
    PlaceOnRow(m_pRecordset, m_lCurrentPos);
    return 1;
  }
  return 0;
}

// Returns 1 when lPos (0..m_lCnt, m_lCnt meaning after the last row) is
// accepted: the rescan cursor moves there and m_lCurrentPos = lPos. Returns 0
// and changes nothing for any other position. A failing move raises
// _com_error and leaves m_lCurrentPos as it was.
int CSQLOperate::Move(long lPos) {
  if (lPos < 0 || m_lCnt <= 0 || lPos > m_lCnt) return 0;
  PlaceOnRow(m_pRecordset, lPos);
  m_lCurrentPos = static_cast<int32_t>(lPos);
  return 1;
}
