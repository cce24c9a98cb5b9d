// GetFieldValue by name: a column of the current row of m_pRecordset as text,
// with one refresh of the whole-table result set and a second read when the
// first read fails.
#include <cstdlib>

#include "sql/SQLOperate.h"
#include "sql/Statement.h"
#include "sql/read/ReadHelpers.h"

using kestal::read::ReadText;
using kestal::statement::NewCommand;

namespace {

// Replaces the result set with every row of the table, recounts the table
// (m_lTotalRecord follows the count down as well as up) and places the table
// cursor again. The statement runs at once, not deferred as Open's: the
// caller reads the current row right after, so deferring would save nothing. Raises _com_error from
// the statements; GetRecordset's own failures end in its result, which is not needed here.
void RefreshTable(CSQLOperate& op) {
  _CommandPtr command = NewCommand(op.m_pConnection);
  CString sql;
  sql.Format("select * from %s ", op.m_strTableName.c_str());
  command->PutCommandText(sql);
  op.m_pRecordset = command->Execute(adCmdText);
  sql.Format("select count(*) as ALLRECORDS from %s", op.m_strTableName.c_str());
  command->PutCommandText(sql);
  _RecordsetPtr counted = command->Execute(adCmdText);
  op.m_lTotalRecord = static_cast<int32_t>(std::atol(ReadText(counted, "ALLRECORDS").c_str()));
  op.GetRecordset();
}

}  // namespace

// Returns column strField of the current row as text; "" when it cannot be
// read even after the refresh. Never raises.
//
// While a window or rescan result is loaded (m_lCnt != 0) the current row is
// a row of that result, not of the table cursor: a refresh would swap the
// result for the whole table on another row, so the retry would read some
// other row's value and the window would then walk the wrong rows. In that
// case the result is kept, the reconnection rule is applied to a database
// error, and the value is "".
CString CSQLOperate::GetFieldValue(CString strField) {
  CString value;
  try {
    value = ReadText(m_pRecordset, strField.c_str());
    return value;
  } catch (const _com_error& e) {
    if (m_lCnt != 0) {
      ReconnectAfter(e);
      return value;
    }
  } catch (...) {
    if (m_lCnt != 0) return value;
  }
  try {
    RefreshTable(*this);
    value = ReadText(m_pRecordset, strField.c_str());
  } catch (const _com_error& e) {
    ReconnectAfter(e);
  } catch (...) {
    // Nothing more is done: the value stays as it was before the refresh.
  }
  return value;
}
