#include "tools/DbfCodepage.h"

#include <cstdlib>
#include <mutex>

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
  // Bridges of one process open their files from several threads; the
  // environment and the choice made here change under this lock only.
  static std::mutex lock;
  static std::string chosen;  // what this function put into the environment
  std::lock_guard<std::mutex> hold(lock);
  const char* env = std::getenv(kVariable);
  if (env != nullptr && *env != '\0' && chosen.empty()) return;  // the operator's choice wins
  DbfHeader header;
  std::string why;
  if (!ReadDbfHeader(path, &header, &why)) return;  // opening the table names the reason
  const std::string named = CodepageOfDriver(header.language_driver);
  const std::string wanted = named.empty() ? kDefaultCodepage : named;
  // Set before the first conversion, this is the code page the library reads
  // (ProcessCodepage keeps what it read first); a conversion made earlier in
  // this process, or another file's choice, has fixed one already.
  if (!named.empty() && chosen.empty()) {
    setenv(kVariable, named.c_str(), 1);
    chosen = named;
  }
  if (ProcessCodepage() != wanted) {
    throw ToolError("table file '" + path + "' names code page " + wanted +
                    (named.empty() ? " (none named: the default)" : "") +
                    " in its header, but this process already reads text as " + ProcessCodepage() +
                    "; set KESTAL_CODEPAGE to choose one");
  }
}

}  // namespace kestal::tool
