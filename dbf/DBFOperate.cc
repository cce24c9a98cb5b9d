// CDBFOperate: construction, opening and the layout of the table file.
#include "dbf/DBFOperate.h"

#include <cstring>

#include "dbf/DBFDetail.h"

using namespace kestal::dbf_detail;

namespace {

// The layout read from a file, kept apart until it has passed every check so
// that a refused file leaves the previous layout in place.
struct Layout {
  int32_t recordCount = 0;
  uint16_t headerLength = 0;
  uint16_t recordLength = 0;
  uint16_t fieldCount = 0;
  DBFFIELD fields[CDBFOperate::kMaxFields] = {};
};

// Reason why header and file cannot be served safely, or nullptr when they can.
// Every later read or copy relies on these bounds: a record fits a slot, the
// descriptors lie inside the file, and every field lies inside the record.
const char* CheckSizes(const Layout& layout, uint64_t fileLength, char* reason, size_t size) {
  if (layout.headerLength < CDBFOperate::kHeaderSize) {
    snprintf(reason, size, "header length %u is below %d", layout.headerLength,
             CDBFOperate::kHeaderSize);
  } else if (fileLength < layout.headerLength) {
    snprintf(reason, size, "file of %llu bytes is shorter than its header length %u",
             static_cast<unsigned long long>(fileLength), layout.headerLength);
  } else if (layout.recordLength == 0 || layout.recordLength > CDBFOperate::kSlotSize) {
    snprintf(reason, size, "record length %u is outside 1 to %d", layout.recordLength,
             CDBFOperate::kSlotSize);
  } else {
    return nullptr;
  }
  return reason;
}

}  // namespace

CDBFOperate::CDBFOperate()
    : m_nLastError(0),
      m_lRecordCount(0),
      m_nHeaderLength(0),
      m_nRecordLength(0),
      m_nFieldCount(0),
      m_nHeadLen(0),
      m_nRecLen(0),
      m_lCurPos(-1),
      m_nBufferPos(-1),
      m_lTotalCount(0),
      m_bReadOnly(false) {
  memset(m_Fields, 0, sizeof m_Fields);
  memset(m_szRecordBuf, 0, sizeof m_szRecordBuf);
  memset(m_szErrorMsg, 0, sizeof m_szErrorMsg);
}

// The CFile member closes a handle that is still open.
CDBFOperate::~CDBFOperate() = default;

int CDBFOperate::Open(const char* strFileName) {
  return OpenWith(strFileName, kOpenFlags);
}

int CDBFOperate::OpenReadOnly(const char* strFileName) {
  return OpenWith(strFileName, kReadOnlyFlags);
}

int CDBFOperate::OpenWith(const char* strFileName, unsigned nFlags) {
  CFile file;
  try {
    file.Open(strFileName, nFlags);
  } catch (const CFileException&) {
    return 0;  // the object keeps its file and members
  }
  m_File = std::move(file);
  if (SetFileFormat() == 0) {
    m_File.Abort();
    return 0;
  }
  m_nHeadLen = m_nHeaderLength;
  m_nRecLen = m_nRecordLength;
  m_lTotalCount = m_lRecordCount;
  m_strFileName = strFileName;
  m_bReadOnly = nFlags == kReadOnlyFlags;
  return 1;
}

void CDBFOperate::Close() {
  try {
    m_File.Close();
  } catch (const CFileException&) {
    // A failing close still releases the handle; nothing more to do.
  }
}

int CDBFOperate::SetFileFormat() {
  Layout layout;
  char reason[200];
  const char* refusal = nullptr;
  try {
    unsigned char header[kHeaderSize];
    size_t got = m_File.Read(header, sizeof header);
    if (got < sizeof header) {
      snprintf(reason, sizeof reason, "file of %zu bytes is shorter than the %d-byte header", got,
               kHeaderSize);
      refusal = reason;
    } else {
      layout.recordCount = GetInt32(header + 4);
      layout.headerLength = GetUInt16(header + 8);
      layout.recordLength = GetUInt16(header + 10);
      refusal = CheckSizes(layout, m_File.GetLength(), reason, sizeof reason);
    }
    if (refusal == nullptr) {
      layout.fieldCount = static_cast<uint16_t>((layout.headerLength - kHeaderSize) / kHeaderSize);
      int held = layout.fieldCount < kMaxFields ? layout.fieldCount : kMaxFields;
      uint32_t offset = 1;  // byte 0 is the deletion flag
      for (int i = 0; i < held && refusal == nullptr; ++i) {
        DBFFIELD& field = layout.fields[i];
        if (m_File.Read(&field, sizeof field) < sizeof field) {
          snprintf(reason, sizeof reason, "field descriptor %d is cut short", i + 1);
          refusal = reason;
          break;
        }
        field.nOffset = offset;
        offset += field.nLength;
        if (offset > layout.recordLength) {
          snprintf(reason, sizeof reason,
                   "field %d (%s) ends at byte %u, past the record length %u", i + 1,
                   FieldName(field).text, offset, layout.recordLength);
          refusal = reason;
        }
      }
    }
  } catch (const CFileException&) {
    return 0;  // a file error at open is reported by the result alone
  }
  if (refusal != nullptr) {
    char text[kErrorMsgSize];
    snprintf(text, sizeof text, "bad table file %s: %s", m_File.GetFilePath().c_str(), refusal);
    SetErrorText(m_szErrorMsg, text);
    return 0;
  }
  m_lRecordCount = layout.recordCount;
  m_lTotalCount = layout.recordCount;
  m_nHeaderLength = layout.headerLength;
  m_nRecordLength = layout.recordLength;
  m_nFieldCount = layout.fieldCount;
  memcpy(m_Fields, layout.fields, sizeof m_Fields);
  return 1;
}

CString CDBFOperate::GetFileName() {
  return m_strFileName;
}

CString CDBFOperate::GetLastErrorMsg() {
  CString text;
  text.Format("%s", m_szErrorMsg);
  return text;
}
