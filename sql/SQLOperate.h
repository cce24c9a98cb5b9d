// CSQLOperate: one table of an SQL database, made usable the way CDBFOperate
// makes one table file usable. The object learns the table's columns as a
// field table, hands rows to the caller through one result set and as
// fixed-width record images, follows a growing table by key or by record
// number, and inserts records singly, numbered, in batches or by bulk load.
//
// One object serves one thread at a time and takes no locks. Every database
// failure arrives as _com_error; the reading operations catch it and apply
// the reconnection rule (ReconnectAfter), the writing operations reconnect
// with a caller-given attempt count.
#pragma once

#include <cstdint>

#include "platform/Object.h"
#include "platform/String.h"
#include "platform/WinTime.h"
#include "sql/db/Ado.h"

// One column of the table as a field of the record image.
struct FIELDINFO {
  CString strName;  // column name as the catalog gives it
  int32_t nWidth;   // bytes in the record image (8 for int columns)
  uint8_t nType;    // catalog type code: 56 int, 37 omitted from inserts, ...
};

class CSQLOperate : public CObject {
 public:
  CSQLOperate();
  ~CSQLOperate() override;
  CSQLOperate(const CSQLOperate&) = delete;
  CSQLOperate& operator=(const CSQLOperate&) = delete;

  // Return value of GetRecordsetForBack while keys are missing in the window.
  static constexpr int kGapCode = -20091123;
  // Limits of the field table and record image.
  static constexpr int kMaxFields = 100;
  static constexpr int kSlotSize = 512;
  static constexpr int kRecordBufSize = 256000;
  static constexpr int kOrderBuffSize = 1024000;

  // --- connection lifecycle -------------------------------------------------
  int Open(const char* strConnect, const char* strTablePath);
  void Close();
  int BeginTrans();
  int CommitTrans();
  CString GetFileName();
  // Why the last Open returned 0 ("" after one that returned 1).
  CString GetLastErrorMsg();

  // --- schema and record images ---------------------------------------------
  CString GetFieldValue(int nIndex, CString strField);

  // --- reconnection ----------------------------------------------------------
  int ReOpen();
  int ReOpenEx(int nTimes);
  int IsOpenAlive();

  // --- block read ------------------------------------------------------------
  int ReadToBufferFromDB(int nCount);

  // --- writing ---------------------------------------------------------------
  int AddNewRecordBase(char* pRecord, long lRecNo, int nReOpenCount, int nMode, int nBaseNum);
  int AddNewRecord(char* pRecord, long lRecNo);
  int AllocOrderBuff();
  int FreeOrderBuff();
  void BuffInit();
  int AddInsertRecordToBuff(char* pRecord, int nMode, int nBaseNum);
  int ExecBatchInsert(int nReOpenCount, int nMode, CString strFileTag);
  CString GetCurrentIdent(CString strTable);
  CString SetCurrentIdent(CString strTable, int nSeed);
  CString AddCJHBRecord(CString strSQL);

  // --- cursor and incremental reading ---------------------------------------
  void SetStartPos(long lPos);
  CString GetCurrentPos();
  CString GetTotalRecord();
  CString GetTotalRecordEx();
  CString GetMaxNum();
  void MoveNext();
  void MovePrev();
  void MoveNextEx();
  void MovePrevEx();
  int SeekToCurrentPos();
  int GetRecordset();
  int GetNextRecord();
  int Move(long lPos);
  CString GetFieldValue(CString strField);
  int GetRecordsetForBack(CString strFilter, CString strFromKey, int nCount, CString strTableTag);
  int GetRecordsetForBackRescan(int nTableType, CString strFilter, CString strFromTime,
                                CString strToTime);
  int GetRecordsetEx();
  int GetRecordMaxNum();

  // --- members, in declaration order; the host reads them directly ----------
  uint16_t m_nFieldCount = 0;
  FIELDINFO m_FieldInfo[kMaxFields];
  CString m_strMaxNum;
  int32_t m_lMaxRecNum = -1;
  int32_t m_lLastRecNum = 0;
  CString m_strFilter;
  CString m_strGapInfo;
  CString m_strGapStart;
  CString m_strLastKey;
  // Steps of the last window fetch and of each reconnection attempt since;
  // at most 64 KiB, the oldest text dropped first (sql/Trace.h).
  CString m_strTrace;
  CString m_strConnect;
  _ConnectionPtr m_pConnection;
  _CommandPtr m_pCommand;
  _RecordsetPtr m_pRecordset;
  CString m_strTableName;
  CString m_strInsertSQL;
  int32_t m_lCurrentPos = 0;
  int32_t m_lTotalRecord = 0;
  CString m_strFileName;
  char m_szRecordBuf[kRecordBufSize];
  int32_t m_lReadNum = 0;
  char m_szCurrentDir[260];
  int32_t m_lCurRow = 0;
  int32_t m_lCnt = 0;
  int32_t m_nRetryCount = 0;
  char* m_pOrderBuff = nullptr;
  int32_t m_lOrderBuffLen = 0;

 private:
  // Builds the field table and the whole-table result set (1), or 0 when the
  // catalog has no such table. Raises _com_error.
  int SetTableFormat();
  // Builds m_strInsertSQL from the field table.
  void SetInsertSQL();
  // Appends the clauses of strCondition without "LONGTODAY" to strResult and
  // translates braces and double quotes.
  void FormatSQL(CString& strResult, CString strCondition);

  // The reconnection rule, applied after catching a database error: formats
  // the status with "%08lx" and, when the text contains "800", calls
  // ReOpenEx(1). Returns ReOpenEx's result, or -1 when the rule did not call it.
  int ReconnectAfter(const _com_error& e);
  // Clears any "set rowcount" limit left on the connection; never throws.
  void ClearRowLimit();

  // --- core helpers (sql/Reconnect.cc) ---------------------------------------
  // One ReOpenEx trace entry for the UTC time st: "{H:M:S:MS-strEvent}" with
  // the hour plus 8 (not reduced mod 24) and no zero padding.
  static CString ReOpenTraceEntry(const SYSTEMTIME& st, const char* strEvent);
  // The reason the last Open failed, for GetLastErrorMsg.
  CString m_strLastError;
  // Test-only access to the private helpers (tests/sql/core).
  friend class CSQLOperateCoreProbe;
};
