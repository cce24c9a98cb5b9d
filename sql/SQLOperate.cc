// CSQLOperate lifecycle: construction, destruction, Open, Close, the two
// transaction calls and GetFileName. The schema mapping lives in
// TableFormat.cc, reconnection in Reconnect.cc, the block read in BlockRead.cc.
#include "sql/SQLOperate.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace {

// Text after the last backslash of path, or the whole path when it has none.
// ReverseFind steps over double-byte characters: a name ending in a character
// whose trail byte is 0x5C keeps that character.
CString LastPathComponent(const CString& path) {
  int slash = path.ReverseFind('\\');
  return slash < 0 ? path : path.Mid(slash + 1);
}

}  // namespace

// Leaves the object unconnected: every smart pointer null, the counters at 0,
// the buffers zeroed and m_szCurrentDir holding the working directory (empty
// when the directory does not fit the 260 bytes).
CSQLOperate::CSQLOperate() : m_strFilter("bs='B' or bs='S'") {
  std::memset(m_szRecordBuf, 0, sizeof(m_szRecordBuf));
  std::memset(m_szCurrentDir, 0, sizeof(m_szCurrentDir));
  if (getcwd(m_szCurrentDir, sizeof(m_szCurrentDir)) == nullptr) {
    // ERANGE (too long) or a vanished directory: the batch insert then writes
    // below the empty directory rather than below a truncated one.
    std::memset(m_szCurrentDir, 0, sizeof(m_szCurrentDir));
  }
}

// Frees the batch buffer (C heap, from AllocOrderBuff) and lets go of the
// database objects without closing them explicitly.
CSQLOperate::~CSQLOperate() {
  if (m_pOrderBuff != nullptr) {
    free(m_pOrderBuff);
    m_pOrderBuff = nullptr;
  }
  m_pRecordset.Release();
  m_pCommand.Release();
  m_pConnection.Release();
}

// Connects with strConnect and maps the table named by the last component of
// strTablePath. Returns 1 when the table is open (no window loaded), 0 when
// the connection cannot be made, the table is unknown or too wide for a
// record image, or mapping it fails (a name the database refuses, a
// connection lost meanwhile); the reason is kept for GetLastErrorMsg. Never
// throws for the table's sake: a host opening a table it got wrong must not
// be brought down.
int CSQLOperate::Open(const char* strConnect, const char* strTablePath) {
  const CString connect(strConnect);
  m_strLastError.Empty();
  try {
    // The old Connection object goes with its last reference; it is not
    // closed first.
    m_pConnection.Release();
    m_pConnection.CreateInstance();
    m_pConnection->PutConnectionString(connect);
    m_pConnection->Open(connect, "", "", -1);
  } catch (const _com_error& e) {
    m_strLastError.Format("cannot connect: %s (%08lx)", e.Description().c_str(),
                          static_cast<unsigned long>(static_cast<uint32_t>(e.Error())));
    return 0;
  } catch (...) {
    m_strLastError = "cannot connect";
    return 0;
  }
  try {
    m_pConnection->PutCursorLocation(adUseClient);

    m_strFileName = strTablePath;
    m_strTableName = LastPathComponent(m_strFileName);

    m_nFieldCount = 0;
    if (!SetTableFormat()) {
      m_strLastError.Format("no table named \"%s\", or its columns do not fit a record image",
                            m_strTableName.c_str());
      return 0;
    }
    // The whole-table result set has replaced any loaded window or rescan:
    // the next window fetch must query afresh, not serve these rows by the
    // old window's row count.
    m_lCnt = 0;
    m_lCurRow = 0;
    SetInsertSQL();
  } catch (const _com_error& e) {
    m_strLastError.Format("cannot open the table \"%s\": %s (%08lx)", m_strTableName.c_str(),
                          e.Description().c_str(),
                          static_cast<unsigned long>(static_cast<uint32_t>(e.Error())));
    return 0;
  }
  // Only a fully successful Open changes the string the reconnections use.
  m_strConnect = connect;
  return 1;
}

// Closes the result set, then the connection, then forgets the highest record
// number. The first failure ends the sequence and is swallowed.
void CSQLOperate::Close() {
  try {
    m_pRecordset->Close();
    m_pConnection->Close();
    m_lMaxRecNum = -1;
  } catch (...) {
  }
}

// Starts a transaction on the connection. Returns 1; failures raise _com_error.
int CSQLOperate::BeginTrans() {
  m_pConnection->BeginTrans();
  return 1;
}

// Commits the open transaction. Returns 1; failures (including a commit with
// no transaction open) raise _com_error.
int CSQLOperate::CommitTrans() {
  m_pConnection->CommitTrans();
  return 1;
}

// Returns the reason the last Open returned 0, or "" after a successful one.
CString CSQLOperate::GetLastErrorMsg() {
  return m_strLastError;
}

// Returns the table path given to the last Open, as passed.
CString CSQLOperate::GetFileName() {
  return m_strFileName;
}
