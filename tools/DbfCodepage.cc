#include "tools/DbfCodepage.h"

#include <cstdlib>

#include "platform/Codepage.h"
#include "tools/DbfHeader.h"
#include "tools/ToolError.h"

namespace kestal::tool {
namespace {

// The library's code page when nothing names one.
constexpr const char* kDefaultCodepage = "GBK";
constexpr const char* kVariable = "KESTAL_CODEPAGE";

}  // namespace

CodepageChoice ChooseCodepage(unsigned char driver) {
  const char* env = std::getenv(kVariable);
  if (env != nullptr && *env != '\0') return {env, kVariable};
  const std::string named = CodepageOfDriver(driver);
  if (!named.empty()) return {named, "the header"};
  return {kDefaultCodepage, "the default"};
}

void UseTableCodepage(const std::string& path) {
  // Bridges of one process open their files from several threads. The
  // environment is only read here; the process code page is fixed once, by
  // whichever thread comes first (SetProcessCodepage).
  const char* env = std::getenv(kVariable);
  if (env != nullptr && *env != '\0') return;  // the operator's choice wins
  DbfHeader header;
  std::string why;
  if (!ReadDbfHeader(path, &header, &why)) return;  // opening the table names the reason
  const std::string named = CodepageOfDriver(header.language_driver);
  const std::string wanted = named.empty() ? kDefaultCodepage : named;
  // Before the first conversion this fixes the code page the library reads;
  // a conversion made earlier in this process, or another file's choice, has
  // fixed one already, and then only a match may go on.
  if (!SetProcessCodepage(wanted)) {
    throw ToolError("table file '" + path + "' names code page " + wanted +
                    (named.empty() ? " (none named: the default)" : "") +
                    " in its header, but this process already reads text as " + ProcessCodepage() +
                    "; set KESTAL_CODEPAGE to choose one");
  }
}

}  // namespace kestal::tool
