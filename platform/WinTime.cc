#include "platform/WinTime.h"

#include <time.h>

#include <cerrno>

void GetSystemTime(SYSTEMTIME* out) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm utc{};
  gmtime_r(&now.tv_sec, &utc);
  out->wYear = static_cast<uint16_t>(utc.tm_year + 1900);
  out->wMonth = static_cast<uint16_t>(utc.tm_mon + 1);
  out->wDayOfWeek = static_cast<uint16_t>(utc.tm_wday);
  out->wDay = static_cast<uint16_t>(utc.tm_mday);
  out->wHour = static_cast<uint16_t>(utc.tm_hour);
  out->wMinute = static_cast<uint16_t>(utc.tm_min);
  out->wSecond = static_cast<uint16_t>(utc.tm_sec);
  out->wMilliseconds = static_cast<uint16_t>(now.tv_nsec / 1000000);
}

uint32_t GetTickCount() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

void Sleep(uint32_t ms) {
  timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}
