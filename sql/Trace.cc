#include "sql/Trace.h"

#include <cstdarg>

#include "platform/Codepage.h"

namespace kestal::trace {

namespace {

// Drops the oldest text of an over-long trace: the cut is the first
// character boundary at or after the number of bytes to drop.
void Trim(CString& trace) {
  if (trace.GetLength() <= kTraceCap) return;
  const std::string& s = trace.str();
  const size_t drop = s.size() - static_cast<size_t>(kTraceKeep);
  const ByteClasses& chars = ProcessByteClasses();
  size_t cut = 0;
  while (cut < drop) cut += chars.CharLength(s.data(), s.size(), cut);
  trace.Delete(0, static_cast<int>(cut));
}

}  // namespace

void Append(CString& trace, const char* text) {
  trace += text;
  Trim(trace);
}

void AppendFormat(CString& trace, const char* format, ...) {
  va_list args;
  va_start(args, format);
  CString text;
  text.FormatV(format, args);
  va_end(args);
  Append(trace, text);
}

}  // namespace kestal::trace
