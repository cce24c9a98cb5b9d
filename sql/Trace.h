// The diagnostic trace of a CSQLOperate object (m_strTrace): the window
// fetch and the reconnection append their steps to it, and only the window
// fetch clears it. An object that never fetches a window but keeps failing
// to reconnect (a server down all night) would grow it without end, so every
// append goes through here and keeps the trace within kTraceCap bytes by
// dropping its oldest text first.
#pragma once

#include <cstddef>

#include "platform/String.h"

namespace kestal::trace {

// Upper bound of the trace, in bytes.
constexpr int kTraceCap = 64 * 1024;
// What is left after an append passed the cap: the newest three quarters, so
// that the oldest text is dropped in large steps rather than at every append.
constexpr int kTraceKeep = kTraceCap / 4 * 3;

// Appends text to trace; when the trace then passes kTraceCap bytes, drops
// its oldest text down to kTraceKeep bytes, cutting between characters of the
// process code page (never inside a double-byte character).
void Append(CString& trace, const char* text);
// The same with printf-style formatting.
void AppendFormat(CString& trace, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace kestal::trace
