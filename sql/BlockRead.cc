// The block read: the next rows of the table after the key m_lReadNum, laid
// out as fixed-width record images in m_szRecordBuf.
#include <cstring>

#include "platform/MessageBox.h"
#include "sql/SQLOperate.h"
#include "sql/Statement.h"

namespace {

constexpr int kMaxBlockRows = 100;

// "读取批量数据失败" (reading the block of data failed), GBK.
constexpr const char kReadFailed[] =
    "\xB6\xC1\xC8\xA1\xC5\xFA\xC1\xBF\xCA\xFD\xBE\xDD\xCA\xA7\xB0\xDC";

// Copies text into image at offset, cut at width and at the end of the
// image: a long value never runs into the next field or the next image.
void PutField(char* image, long offset, int32_t width, const CString& text) {
  if (width <= 0 || offset < 0 || offset >= CSQLOperate::kSlotSize) return;
  long room = CSQLOperate::kSlotSize - offset;
  if (width < room) room = width;
  long length = text.GetLength();
  if (length > room) length = room;
  std::memcpy(image + offset, text.c_str(), static_cast<size_t>(length));
}

}  // namespace

// Reads up to nCount (1 to 100) rows whose first field is above m_lReadNum
// into slots 0, 1, ... of m_szRecordBuf and advances m_lReadNum by the number
// read. Returns that number, or 0 for a bad nCount (buffer untouched) or a
// failure (message box shown, m_lReadNum unchanged).
int CSQLOperate::ReadToBufferFromDB(int nCount) {
  if (nCount > kMaxBlockRows || nCount < 1) return 0;
  std::memset(m_szRecordBuf, 0, sizeof(m_szRecordBuf));

  CString sql;
  sql.Format("select top %d * from %s where %s > %d ", nCount, m_strTableName.c_str(),
             m_FieldInfo[0].strName.c_str(), m_lReadNum);
  try {
    _CommandPtr cmd = kestal::statement::NewCommand(m_pConnection);
    cmd->PutCommandText(sql);
    _RecordsetPtr rs = cmd->Execute(adCmdText);

    const int fields = m_nFieldCount < kMaxFields ? m_nFieldCount : kMaxFields;
    int rows = 0;
    // Bounded by nCount as well: at most nCount images are ever written.
    while (rows < rs->GetRecordCount() && rows < nCount) {
      char* image = m_szRecordBuf + static_cast<size_t>(rows) * kSlotSize;
      long offset = 0;
      for (int i = 0; i < fields; ++i) {
        const CString value = rs->GetCollect(m_FieldInfo[i].strName.c_str());
        PutField(image, offset, m_FieldInfo[i].nWidth, value);
        offset += m_FieldInfo[i].nWidth;
      }
      ++rows;
      rs->MoveNext();
    }
    rs->Close();
    m_lReadNum += rows;
    return rows;
  } catch (const _com_error& e) {
    ReconnectAfter(e);
  } catch (...) {
  }
  AfxMessageBox(CString(kReadFailed) + sql, MB_OK);
  return 0;
}
