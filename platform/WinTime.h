// Clock stand-ins: UTC calendar time with milliseconds, a millisecond tick
// counter, and a sleep. None of them fails.
#pragma once

#include <cstdint>

struct SYSTEMTIME {
  uint16_t wYear;
  uint16_t wMonth;
  uint16_t wDayOfWeek;  // 0 = Sunday
  uint16_t wDay;
  uint16_t wHour;
  uint16_t wMinute;
  uint16_t wSecond;
  uint16_t wMilliseconds;
};

// The current time in UTC.
void GetSystemTime(SYSTEMTIME* out);
// Milliseconds since an arbitrary start, on a monotonic clock; wraps at 2^32.
uint32_t GetTickCount();
// Blocks the calling thread for at least ms milliseconds.
void Sleep(uint32_t ms);
