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
constexpr HRESULT kTypeMismatch = static_cast<HRESULT>(0x80020005);      // NULL to text
constexpr HRESULT kNoCurrentRecord = static_cast<HRESULT>(0x800A0BCD);   // BOF or EOF
constexpr HRESULT kItemNotFound = static_cast<HRESULT>(0x800A0CC1);      // unknown column
constexpr HRESULT kObjectClosed = static_cast<HRESULT>(0x800A0E78);      // not open
constexpr HRESULT kObjectOpen = static_cast<HRESULT>(0x800A0E79);        // already open
constexpr HRESULT kNotSupported = static_cast<HRESULT>(0x80040E21);      // untranslatable T-SQL
constexpr HRESULT kTransactionError = static_cast<HRESULT>(0x8004D00E);  // commit without begin

// What a failure says about the caller's next step. The status stays the one
// listed above (callers and the reconnection rule read it); the kind tells a
// writer whether waiting, reconnecting or looking at its record can mend it.
// Only the engines' error mappers (sql/db/<engine>/Errors.cc) set it.
enum class FailureKind : uint8_t {
  kUnknown,    // not classified: the access layer's own refusals
  kLink,       // the engine cannot be reached or the link went silent: reconnect
  kBusy,       // another connection holds a lock, or a statement ran out of
               // time waiting for one: wait and send the same again
  kResource,   // the engine cannot store anything: disk full, file-size limit,
               // read-only database, I/O error, permission, bulk-load file
  kValue,      // the values of the statement: constraint, conversion, overflow
  kStatement,  // the statement itself: syntax, unknown object, unsupported
};

// "link", "busy", ... for messages.
inline const char* FailureKindName(FailureKind kind) {
  switch (kind) {
    case FailureKind::kLink:
      return "link";
    case FailureKind::kBusy:
      return "busy";
    case FailureKind::kResource:
      return "resource";
    case FailureKind::kValue:
      return "value";
    case FailureKind::kStatement:
      return "statement";
    case FailureKind::kUnknown:
      break;
  }
  return "unknown";
}
}  // namespace kestal::db

class _com_error {
 public:
  explicit _com_error(HRESULT status, const CString& description = CString(),
                      kestal::db::FailureKind kind = kestal::db::FailureKind::kUnknown)
      : status_(status), description_(description), kind_(kind) {}

  HRESULT Error() const { return status_; }
  kestal::db::FailureKind Kind() const { return kind_; }
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
  kestal::db::FailureKind kind_;
};
