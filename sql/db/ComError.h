// _com_error: the one exception type of the database access layer. It carries
// a 32-bit HRESULT-style status and a description in the process code page.
// Every failure of a Connection, Command or Recordset raises it.
#pragma once

#include <cstdint>

#include "platform/String.h"

typedef int32_t HRESULT;

namespace kestal::db {
// Statuses raised by the access layer. Every one of them prints with "%08lx"
// as text containing "800", so the reconnection rule applies to all of them.
constexpr HRESULT kStatementError = static_cast<HRESULT>(0x80040E14);   // SQL rejected
constexpr HRESULT kConnectionError = static_cast<HRESULT>(0x80004005);  // connect / link lost
constexpr HRESULT kNullObject = static_cast<HRESULT>(0x80004003);       // absent object
constexpr HRESULT kOutOfMemory = static_cast<HRESULT>(0x8007000E);
constexpr HRESULT kTypeMismatch = static_cast<HRESULT>(0x80020005);     // NULL to text
constexpr HRESULT kNoCurrentRecord = static_cast<HRESULT>(0x800A0BCD);  // BOF or EOF
constexpr HRESULT kItemNotFound = static_cast<HRESULT>(0x800A0CC1);     // unknown column
constexpr HRESULT kObjectClosed = static_cast<HRESULT>(0x800A0E78);     // not open
constexpr HRESULT kObjectOpen = static_cast<HRESULT>(0x800A0E79);       // already open
constexpr HRESULT kNotSupported = static_cast<HRESULT>(0x80040E21);     // untranslatable T-SQL
constexpr HRESULT kTransactionError = static_cast<HRESULT>(0x8004D00E); // commit without begin
constexpr HRESULT kTimeout = static_cast<HRESULT>(0x80040E31);          // time-out expired
}  // namespace kestal::db

class _com_error {
 public:
  explicit _com_error(HRESULT status, const CString& description = CString())
      : status_(status), description_(description) {}

  HRESULT Error() const { return status_; }
  // The engine's (or this layer's) description of the failure; may be empty.
  CString Description() const { return description_; }
  // "status xxxxxxxx: description", for logs and tool messages.
  CString ErrorMessage() const {
    CString text;
    text.Format("status %08lx: %s", static_cast<unsigned long>(static_cast<uint32_t>(status_)),
                description_.c_str());
    return text;
  }

 private:
  HRESULT status_;
  CString description_;
};
