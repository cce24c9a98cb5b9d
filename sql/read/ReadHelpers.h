// Small steps shared by the reading operations of CSQLOperate: placing a
// result set on a row, reading
// a column as text, closing a result quietly, and turning key text into a
// number. Internal to sql/read/.
#pragma once

#include <cstdint>

#include "platform/String.h"
#include "sql/db/Ado.h"

namespace kestal::read {

// Places rs on 0-based row: first row, then row rows forward. Row == the row
// count lands after the last row. Raises _com_error for a missing result set
// or a row outside 0..count (the result set then stays where it was moved).
void PlaceOnRow(const _RecordsetPtr& rs, long row);

// The value of column in the current row of rs as text. Raises _com_error for
// a missing result set, an unknown column, no current row or a NULL value.
CString ReadText(const _RecordsetPtr& rs, const char* column);

// Closes rs when it holds an open result; every failure is swallowed, also
// that of an empty pointer.
void CloseQuietly(const _RecordsetPtr& rs);

// The number of a key or count text, as atoi reads it (leading blanks, an
// optional sign, then digits; anything else ends the number), but clamped to
// the 32-bit range instead of overflowing.
int32_t KeyNumber(const CString& text);

// True when text is a decimal integer: an optional sign and at least one
// digit, nothing else. Such text is safe to place into a statement unquoted.
bool IsKeyText(const CString& text);

// Milliseconds since the tick reading start, on the tick counter's 32-bit
// wrap, as the trace prints them.
int ElapsedSince(uint32_t start);

}  // namespace kestal::read
