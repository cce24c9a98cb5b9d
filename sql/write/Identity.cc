// Identity values of any table of the connected database, and statements the
// caller composes in full. Each call runs on a Command of its own and never
// reconnects: after a lost connection these keep failing until another
// operation reopens it. Result texts are GBK.
#include <cstdlib>

#include "sql/SQLOperate.h"
#include "sql/Statement.h"

using kestal::statement::ExecuteDiscard;
using kestal::statement::ExecuteQuery;
using kestal::statement::NewCommand;

namespace {

// "\xD6\xD8\xD6\xC3\xB3\xC9\xB9\xA6" is GBK for 重置成功 (reset succeeded).
const char kResetDone[] = "\xD6\xD8\xD6\xC3\xB3\xC9\xB9\xA6";
// GBK for 重置失败 (reset failed).
const char kResetFailed[] = "\xD6\xD8\xD6\xC3\xCA\xA7\xB0\xDC";
// GBK for 重置序号时发生异常-%s (an error while resetting the sequence number).
const char kResetErrorFormat[] =
    "\xD6\xD8\xD6\xC3\xD0\xF2\xBA\xC5\xCA\xB1\xB7\xA2\xC9\xFA\xD2\xEC\xB3\xA3-%s";
// GBK for 成功 (succeeded).
const char kSucceeded[] = "\xB3\xC9\xB9\xA6";

// The current identity of table as text, "0" when the server answers NULL
// (no such table, or no identity). Raises _com_error.
CString ReadIdent(const _CommandPtr& command, const CString& table) {
  CString sql;
  sql.Format("select IDENT_CURRENT('%s') as IdentCurrent ", table.c_str());
  _RecordsetPtr result = ExecuteQuery(command, sql);
  _variant_t value = result->GetCollect("IdentCurrent");
  CString text = value.IsNull() ? CString("0") : value.ToString();
  result->Close();
  return text;
}

}  // namespace

// Returns the current identity value of strTable as text, "0" for NULL, or
// "-1" after any failure.
CString CSQLOperate::GetCurrentIdent(CString strTable) {
  try {
    return ReadIdent(NewCommand(m_pConnection), strTable);
  } catch (...) {
    return "-1";
  }
}

// Reseeds the identity of strTable to nSeed and reads it back. Returns the
// GBK text for "reset succeeded" when the value read back is nSeed, "reset
// failed" when it differs, or the exception text with the server's
// description after a database error.
CString CSQLOperate::SetCurrentIdent(CString strTable, int nSeed) {
  try {
    _CommandPtr command = NewCommand(m_pConnection);
    CString sql;
    sql.Format("DBCC CHECKIDENT ('%s', RESEED, %d) ", strTable.c_str(), nSeed);
    ExecuteDiscard(command, sql);
    CString ident = ReadIdent(command, strTable);
    return atoi(ident.c_str()) == nSeed ? CString(kResetDone) : CString(kResetFailed);
  } catch (const _com_error& e) {
    CString text;
    text.Format(kResetErrorFormat, e.Description().c_str());
    return text;
  }
}

// Executes strSQL unchanged and discards any rows. Returns the GBK text for
// "succeeded", or "-" followed by the server's description of the failure.
CString CSQLOperate::AddCJHBRecord(CString strSQL) {
  try {
    ExecuteDiscard(NewCommand(m_pConnection), strSQL);
    return kSucceeded;
  } catch (const _com_error& e) {
    CString text;
    text.Format("-%s", e.Description().c_str());
    return text;
  }
}
