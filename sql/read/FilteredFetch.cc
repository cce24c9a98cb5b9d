// GetRecordsetEx follows a table by its highest rec_num, leaving out stock
// codes 737 and 739; GetRecordMaxNum moves its reading point to the table's
// current end and tells whether the table holds an earlier day's rows.
//
// Reading point: m_lMaxRecNum is the newest maximum read (-1 in a new or
// closed object), m_lLastRecNum the exclusive lower bound of the current
// fetch. A failed fetch sets m_lMaxRecNum back so the next call reads again.
#include <cstdio>
#include <cstdlib>

#include "platform/Mbcs.h"
#include "platform/WinTime.h"
#include "sql/SQLOperate.h"
#include "sql/Statement.h"
#include "sql/read/ReadHelpers.h"

using kestal::read::CloseQuietly;
using kestal::read::PlaceOnRow;
using kestal::read::ReadText;
using kestal::statement::NewCommand;

// Returns 1 with m_pRecordset on row m_lCurRow of an open result; 0 when the
// table has not grown, no new row qualifies, the result has been read to its
// end, or after any failure.
int CSQLOperate::GetRecordsetEx() {
  try {
    _CommandPtr command = NewCommand(m_pConnection);
    if (m_lCnt == 0) {
      m_lLastRecNum = m_lMaxRecNum;
      CString sql;
      sql.Format("select isnull(max(rec_num),0) as max_recnum from  %s", m_strTableName.c_str());
      command->PutCommandText(sql);
      _RecordsetPtr maximum = command->Execute(adCmdText);
      m_lMaxRecNum = static_cast<int32_t>(std::atol(ReadText(maximum, "max_recnum").c_str()));
      maximum->Close();
      maximum.Release();
      if (m_lMaxRecNum <= m_lLastRecNum) return 0;

      CloseQuietly(m_pRecordset);
      m_pRecordset.Release();
      m_pRecordset.CreateInstance();
      sql.Format(
          "select * from %s where rec_num > %ld and (substring(stock,1,3)!='737' and "
          "substring(stock,1,3)!='739')",
          m_strTableName.c_str(), static_cast<long>(m_lLastRecNum));
      m_pRecordset->Open(sql, m_pConnection, adOpenStatic, adLockOptimistic, adCmdText);
      m_lCnt = static_cast<int32_t>(m_pRecordset->GetRecordCount());
      if (m_lCnt == 0) return 0;
      m_lCurRow = 0;
    }
    if (static_cast<int64_t>(m_lCurRow) + 1 <= m_lCnt) {
      PlaceOnRow(m_pRecordset, m_lCurRow);
      return 1;
    }
    m_lCnt = 0;
    return 0;
  } catch (const _com_error& e) {
    ReconnectAfter(e);
    m_lMaxRecNum = m_lLastRecNum;
    return 0;
  } catch (...) {
    m_lMaxRecNum = m_lLastRecNum;
    return 0;
  }
}

// Returns 0 when the first row the table delivers has a date (eight digits,
// year first) before today's UTC date; 1 otherwise, also for an empty table
// and after a database error. Sets m_lMaxRecNum to the table's highest
// rec_num (0 for an empty table). Errors other than database errors reach
// the caller.
int CSQLOperate::GetRecordMaxNum() {
  try {
    _RecordsetPtr rows;
    rows.CreateInstance();
    CString sql;
    sql.Format("select rec_num ,date from  %s", m_strTableName.c_str());
    rows->Open(sql, m_pConnection, adOpenStatic, adLockOptimistic, adCmdText);
    m_lMaxRecNum = static_cast<int32_t>(rows->GetRecordCount());
    if (m_lMaxRecNum == 0) return 1;
    rows->MoveFirst();
    CString date = ReadText(rows, "date");
    SYSTEMTIME now;
    GetSystemTime(&now);
    rows->Close();
    rows.Release();

    _RecordsetPtr maximum;
    maximum.CreateInstance();
    sql.Format("select isnull(max(rec_num),0) as max_recnum from  %s", m_strTableName.c_str());
    maximum->Open(sql, m_pConnection, adOpenStatic, adLockOptimistic, adCmdText);
    m_lMaxRecNum = static_cast<int32_t>(std::atol(ReadText(maximum, "max_recnum").c_str()));
    maximum->Close();
    maximum.Release();

    char today[16];
    std::snprintf(today, sizeof today, "%04d%02d%02d", now.wYear, now.wMonth, now.wDay);
    return _mbscmp(date.c_str(), today) < 0 ? 0 : 1;
  } catch (const _com_error& e) {
    ReconnectAfter(e);
    return 1;
  }
}
