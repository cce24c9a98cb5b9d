#include "sql/read/ReadHelpers.h"

#include <cctype>
#include <climits>
#include <cstdlib>

#include "platform/WinTime.h"

namespace kestal::read {

void PlaceOnRow(const _RecordsetPtr& rs, long row) {
  rs->MoveFirst();
  rs->Move(row);
}

CString ReadText(const _RecordsetPtr& rs, const char* column) {
  return rs->GetCollect(column).ToString();
}

void CloseQuietly(const _RecordsetPtr& rs) {
  // An empty pointer or a closed result is the common case (a window fetch
  // closes twice); an exception for it would cost more than the close.
  if (!rs || rs->GetState() != adStateOpen) return;
  try {
    rs->Close();
  } catch (...) {
    // A result that is closed already, or was never created, is fine here.
  }
}

int32_t KeyNumber(const CString& text) {
  long long value = std::strtoll(text.c_str(), nullptr, 10);
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

bool IsKeyText(const CString& text) {
  const char* p = text.c_str();
  if (*p == '-' || *p == '+') ++p;
  if (*p == '\0') return false;
  for (; *p != '\0'; ++p) {
    if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
  }
  return true;
}

int ElapsedSince(uint32_t start) {
  return static_cast<int>(GetTickCount() - start);
}

}  // namespace kestal::read
