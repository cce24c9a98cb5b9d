// How one value of a table file becomes the text of one database column,
// judged by the column's declared type. A value that fits goes in unchanged
// (apart from the padding rules below and the spelling of dates); one that
// does not is refused with the reason. Nothing is ever cut.
#pragma once

#include <string>

#include "tools/ColumnTypes.h"

namespace kestal::tool {

struct ValueRules {
  // Keep the blank padding of character fields in varchar and text columns
  // (up to the column's length); by default trailing blanks are removed.
  bool keep_padding = false;
};

// Converts value (a field's bytes in the table code page, NULs removed) for
// column. numeric_field: the field is N or F, padded on the left. Returns
// true with the text to store in *out, or false with the reason in *why (in
// the terminal's encoding, without the record and column).
//   int, bigint, smallint, tinyint, bit: a whole number within the type's
//     range; blank is 0; a bit also takes a logical T, Y (1) or F, N (0).
//   char(n): at most n characters, padded with blanks to n characters.
//   varchar(n): at most n characters after the trailing blanks are removed
//     (kept with keep_padding, as far as the column holds them).
//   text: any length, trailing blanks removed likewise.
//   decimal(p,s), numeric, money: a decimal number with at most p-s digits
//     before the point and s after it; blank is 0.
//   float, real: a finite number within range; blank is 0.
//   date, datetime: YYYYMMDD or YYYY-MM-DD (datetime: then an optional time
//     HH:MM[:SS[.fff]]), a real day within the type's years; blank is
//     1900-01-01, as SQL Server reads an empty date. Stored as YYYY-MM-DD
//     and YYYY-MM-DD HH:MM:SS.fff.
//   other types: the text without blanks around, for the database to judge.
bool ConvertValue(const ColumnType& column, const std::string& value, bool numeric_field,
                  const ValueRules& rules, std::string* out, std::string* why);

// Bytes the converted value of column may take, for a field of field_length
// bytes: at least the column's storage width, at most 511.
int ConvertedWidth(const ColumnType& column, int field_length);

// The number of characters of GBK text (a lead byte 0x81-0xFE and the byte
// after it are one character).
size_t GbkLength(const std::string& text);

}  // namespace kestal::tool
