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
  const char* env = std::getenv(kVariable);
  if (env != nullptr && *env != '\0') return;  // the operator's choice wins
  DbfHeader header;
  std::string why;
  if (!ReadDbfHeader(path, &header, &why)) return;  // opening the table names the reason
  const std::string named = CodepageOfDriver(header.language_driver);
  if (named.empty()) return;
  // Set before the first conversion, this is the code page the library reads
  // (ProcessCodepage keeps what it read first); a conversion made earlier in
  // this process has fixed another one.
  setenv(kVariable, named.c_str(), 1);
  if (ProcessCodepage() != named) {
    unsetenv(kVariable);
    throw ToolError("table file '" + path + "' names code page " + named +
                    " in its header, but this process already reads text as " + ProcessCodepage() +
                    "; set KESTAL_CODEPAGE to choose one");
  }
}

}  // namespace kestal::tool
