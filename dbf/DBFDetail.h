// Small pieces shared by the CDBFOperate source files: little-endian numbers
// of the header, the error-text buffer, and field names that are not always
// terminated in the file. Internal to dbf/.
#pragma once

#include <time.h>

#include <cstdint>
#include <cstring>

#include "dbf/DBFOperate.h"
#include "platform/File.h"

namespace kestal::dbf_detail {

// Header offsets and the range appenders lock.
constexpr uint64_t kCountOffset = 4;
constexpr uint64_t kCountSize = 4;
constexpr char kEndOfFile = 0x1A;

inline int32_t GetInt32(const unsigned char* p) {
  uint32_t v = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
  return static_cast<int32_t>(v);
}
inline uint16_t GetUInt16(const unsigned char* p) {
  return uint16_t(p[0] | p[1] << 8);
}
inline void PutInt32(unsigned char* p, int32_t value) {
  uint32_t v = static_cast<uint32_t>(value);
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

// Replaces the 255-byte error text with text, cut to 254 bytes and terminated.
inline void SetErrorText(char* errorMsg, const char* text) {
  memset(errorMsg, 0, CDBFOperate::kErrorMsgSize);
  size_t n = strnlen(text, CDBFOperate::kErrorMsgSize - 1);
  memcpy(errorMsg, text, n);
}
inline void SetErrorText(char* errorMsg, const CFileException& e) {
  memset(errorMsg, 0, CDBFOperate::kErrorMsgSize);
  e.GetErrorMessage(errorMsg, CDBFOperate::kErrorMsgSize);
}

// The pause between tries of a retry loop: 50 microseconds at first, doubled
// after each try up to 10 milliseconds. A holder of the count lock keeps it
// for microseconds, so the first tries come quickly; a long conflict costs a
// waiter about a hundred wake-ups a second rather than a whole core.
class Backoff {
 public:
  // Sleeps for the current pause, then lengthens it.
  void Wait() {
    struct timespec ts {
      0, pauseNs_
    };
    nanosleep(&ts, nullptr);  // a signal may cut it short; the caller's bound holds
    pauseNs_ = pauseNs_ * 2 > kMaxPauseNs ? kMaxPauseNs : pauseNs_ * 2;
  }

 private:
  static constexpr long kMaxPauseNs = 10 * 1000 * 1000;
  long pauseNs_ = 50 * 1000;
};

// The field's name as a terminated string: the file gives 11 bytes that are
// meant to hold a NUL but need not.
struct FieldName {
  explicit FieldName(const DBFFIELD& field) {
    memcpy(text, field.szName, sizeof field.szName);
    text[sizeof field.szName] = '\0';
  }
  char text[sizeof(DBFFIELD::szName) + 1];
};

// Number of descriptors held in the field table.
inline int HeldFields(const CDBFOperate& table) {
  return table.m_nFieldCount < CDBFOperate::kMaxFields ? table.m_nFieldCount
                                                       : CDBFOperate::kMaxFields;
}

}  // namespace kestal::dbf_detail
