// Text between the table files' code page (GBK unless KESTAL_CODEPAGE says
// otherwise) and the terminal's encoding, as the locale names it
// (nl_langinfo(CODESET) after setlocale(LC_ALL, "")). Under a plain ASCII
// locale ("C", "POSIX") bytes pass through unchanged, so no table text is
// lost to '?' on the way out or in.
#pragma once

#include <string>

namespace kestal::tool {

// Table text -> terminal text. Bytes that are not valid table text become '?'.
std::string ToTerminal(const std::string& table_text);

// Terminal text -> table text. Returns false, leaving *out unspecified, when
// some character has no counterpart in the table code page or the input is
// not valid in the terminal's encoding.
bool FromTerminal(const std::string& terminal_text, std::string* out);

}  // namespace kestal::tool
