// The code page in which the tools read and write a table file's text: the
// one KESTAL_CODEPAGE names when it is set, else the one the header's
// language-driver byte names, else GBK. The tools pass their choice to the
// library through KESTAL_CODEPAGE before the first text conversion, so the
// library's own rule (KESTAL_CODEPAGE, else GBK) is left as it is and every
// conversion of the process (terminal, database) uses the same code page.
#pragma once

#include <string>

namespace kestal::tool {

struct CodepageChoice {
  std::string codeset;  // iconv name
  std::string source;   // "KESTAL_CODEPAGE", "the header", "the default"
};

// The code page for a file whose header holds language-driver byte driver,
// given the environment as it is now.
CodepageChoice ChooseCodepage(unsigned char driver);

// Makes the process read text in the code page ChooseCodepage picks for the
// file at path (a file that cannot be read changes nothing). Throws ToolError
// when the process already reads text in another code page (a second file
// with another language-driver byte in the same process).
void UseTableCodepage(const std::string& path);

}  // namespace kestal::tool
