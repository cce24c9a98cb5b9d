// Single-record inserts: one INSERT statement per record image, with the
// record number either taken from the image or computed by the server from
// the table's maximum inside the statement itself.
#include "platform/Mbcs.h"
#include "sql/SQLOperate.h"
#include "sql/Statement.h"
#include "sql/write/ValueList.h"

using kestal::sqlwrite::BuildMaxPlusOneLists;
using kestal::sqlwrite::BuildValueList;
using kestal::sqlwrite::ValueForm;
using kestal::statement::ExecuteDiscard;
using kestal::statement::ExecuteQuery;
using kestal::statement::NewCommand;

// Inserts pRecord, numbered by the server under a held lock when nMode is 1,
// with every value from the image otherwise. After a failed execution it
// reconnects with nReOpenCount attempts and sends the same statement once
// more. Returns 1 when the row was inserted, 0 when not. lRecNo is not read.
int CSQLOperate::AddNewRecordBase(char* pRecord, long /*lRecNo*/, int nReOpenCount, int nMode,
                                  int nBaseNum) {
  if (pRecord == nullptr) return 0;
  const bool numbered = nMode == 1;
  CString values;
  BuildValueList(m_FieldInfo, m_nFieldCount, pRecord,
                 numbered ? ValueForm::kNumbered : ValueForm::kQuoted, nBaseNum, values);
  CString sql;
  if (numbered) {
    sql.Format("%s %s from %s with (holdlock) ", m_strInsertSQL.c_str(), values.c_str(),
               m_strTableName.c_str());
  } else {
    sql.Format("%s values (%s)", m_strInsertSQL.c_str(), values.c_str());
  }

  _CommandPtr command = NewCommand(m_pConnection);
  try {
    ExecuteDiscard(command, sql);
    ++m_lCurrentPos;
    return 1;
  } catch (const _com_error&) {
    // Falls through to one reconnection and one resend.
  }
  if (ReOpenEx(nReOpenCount) == 0) return 0;
  try {
    command->PutRefActiveConnection(m_pConnection);
    ExecuteDiscard(command, sql);
    ++m_lCurrentPos;
    return 1;
  } catch (const _com_error&) {
    return 0;
  }
}

namespace {

// True when the table is known to hold no rows: the count over rec_num
// reads back as exactly "0". A failed count raises _com_error.
bool TableIsEmpty(const _CommandPtr& command, const CString& table) {
  CString sql;
  sql.Format("select count(rec_num) as rec_num from %s ", table.c_str());
  _RecordsetPtr result = ExecuteQuery(command, sql);
  CString count;
  if (result->GetRecordCount() != 0) count = result->GetCollect("rec_num").ToString();
  result->Close();
  return _mbscmp(count.c_str(), "0") == 0;
}

}  // namespace

// Inserts pRecord with REC_NUM = the table's maximum + 1. When that statement
// fails on an empty table (max() is NULL there), inserts it with number 1.
// Never reconnects. Returns 1 when the row was inserted, 0 when not. lRecNo
// is not read.
int CSQLOperate::AddNewRecord(char* pRecord, long /*lRecNo*/) {
  if (pRecord == nullptr) return 0;
  CString main;
  CString fallback;
  BuildMaxPlusOneLists(m_FieldInfo, m_nFieldCount, pRecord, main, fallback);
  main += " from ";
  main += m_strTableName;
  CString sql;
  sql.Format("%s (%s)", m_strInsertSQL.c_str(), main.c_str());

  try {
    ExecuteDiscard(NewCommand(m_pConnection), sql);
    ++m_lCurrentPos;
    return 1;
  } catch (const _com_error&) {
    // The empty-table fallback below.
  } catch (...) {
    return 0;
  }
  try {
    _CommandPtr command = NewCommand(m_pConnection);
    if (!TableIsEmpty(command, m_strTableName)) return 0;
    sql.Format("%s values (%s)", m_strInsertSQL.c_str(), fallback.c_str());
    ExecuteDiscard(command, sql);
    ++m_lCurrentPos;
    return 1;
  } catch (...) {
    return 0;
  }
}
