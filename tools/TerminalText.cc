#include "tools/TerminalText.h"

#include <langinfo.h>

#include <cctype>

#include "platform/Codepage.h"

namespace kestal::tool {
namespace {

// A code set name in upper case without '-' and '_', for comparisons.
std::string Normalized(const char* name) {
  std::string out;
  for (; *name; ++name) {
    if (*name != '-' && *name != '_') {
      out += static_cast<char>(std::toupper(static_cast<unsigned char>(*name)));
    }
  }
  return out;
}

// The terminal's code set, or "" when text is to pass through unchanged.
const std::string& TerminalCodeset() {
  static const std::string codeset = [] {
    const char* name = nl_langinfo(CODESET);
    if (name == nullptr || *name == '\0') return std::string();
    const std::string n = Normalized(name);
    if (n == "ANSIX3.41968" || n == "ASCII" || n == "USASCII" ||
        n == Normalized(ProcessCodepage().c_str())) {
      return std::string();
    }
    return std::string(name);
  }();
  return codeset;
}

}  // namespace

std::string ToTerminal(const std::string& table_text) {
  const std::string& term = TerminalCodeset();
  if (term.empty()) return table_text;
  return ConvertText(table_text, ProcessCodepage().c_str(), term.c_str());
}

bool FromTerminal(const std::string& terminal_text, std::string* out) {
  const std::string& term = TerminalCodeset();
  if (term.empty()) {
    *out = terminal_text;
    return true;
  }
  // ConvertText turns what it cannot convert into '?'; a round trip that does
  // not give the input back shows such a loss.
  *out = ConvertText(terminal_text, term.c_str(), ProcessCodepage().c_str());
  return ConvertText(*out, ProcessCodepage().c_str(), term.c_str()) == terminal_text;
}

}  // namespace kestal::tool
