// GetRecordsetForBackRescan: reads again, in key order, every row whose time
// of day lies between two inclusive bounds, optionally narrowed by a filter.
// Keeps no state between calls and writes no trace.
#include <cstdint>

#include "sql/SQLOperate.h"
#include "sql/Statement.h"
#include "sql/read/ReadHelpers.h"

using kestal::read::CloseQuietly;
using kestal::read::PlaceOnRow;
using kestal::statement::NewCommand;

// Returns the number of rows found (cursor on the first, m_lCurrentPos = 0);
// 0 when none qualifies, for a table type other than 0 (time column, keyed by
// serialnum) or 1 (cjsj column, keyed by rec_num), and after a database error
// followed by a successful reconnection; -1 after any other failure.
int CSQLOperate::GetRecordsetForBackRescan(int nTableType, CString strFilter, CString strFromTime,
                                           CString strToTime) {
  try {
    _CommandPtr command = NewCommand(m_pConnection);
    CString cond;
    FormatSQL(cond, strFilter);
    const char* table = m_strTableName.c_str();
    const char* from = strFromTime.c_str();
    const char* to = strToTime.c_str();
    CString sql;
    if (nTableType == 0 && cond.IsEmpty()) {
      sql.Format(
          "select * from %s where convert(varchar(8) ,cast(time as datetime),108)>='%s' and "
          "convert(varchar(8) ,cast(time as datetime),108)<='%s' order by serialnum",
          table, from, to);
    } else if (nTableType == 0) {
      sql.Format(
          "select * from %s where  convert(varchar(8) ,cast(time as datetime),108)>='%s' and "
          "convert(varchar(8) ,cast(time as datetime),108)<='%s' and ( %s ) order by serialnum",
          table, from, to, cond.c_str());
    } else if (nTableType == 1 && cond.IsEmpty()) {
      sql.Format(
          "select * from %s where  cast(cjsj as int)>=cast('%s' as int) and  cast(cjsj as "
          "int)<=cast('%s' as int) order by rec_num",
          table, from, to);
    } else if (nTableType == 1) {
      sql.Format(
          "select * from %s where  cast(cjsj as int)>=cast('%s' as int) and  cast(cjsj as "
          "int)<=cast('%s' as int) and ( %s ) order by rec_num",
          table, from, to, cond.c_str());
    } else {
      return 0;
    }

    CloseQuietly(m_pRecordset);
    m_pRecordset.Release();
    m_pRecordset.CreateInstance();
    m_pRecordset->Open(sql, m_pConnection, adOpenStatic, adLockOptimistic, adCmdText);
    m_lCnt = static_cast<int32_t>(m_pRecordset->GetRecordCount());
    if (m_lCnt == 0) return 0;

    m_lCurrentPos = 0;
    command->PutCommandText("set rowcount 0");
    command->Execute(adCmdText);
    PlaceOnRow(m_pRecordset, m_lCurrentPos);
    return m_lCnt;
  } catch (const _com_error& e) {
    const int reopened = ReconnectAfter(e);
    m_lCnt = 0;
    return reopened > 0 ? 0 : -1;
  } catch (...) {
    m_lCnt = 0;
    return -1;
  }
}
