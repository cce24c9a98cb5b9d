// "kestal dbf": the table-file commands. A new subcommand adds one line to
// the table below.
#include "tools/Command.h"
#include "tools/Commands.h"

namespace kestal::tool {

int RunDbfGroup(const Args& args) {
  static const std::vector<Command> table = {
      {"info", "show the header and the field table of FILE", RunDbfInfo},
      {"cat", "print the records of FILE as CSV", RunDbfCat},
      {"follow", "print records as other processes append them, until interrupted", RunDbfFollow},
      {"append", "append CSV records from stdin to FILE, under the lock", RunDbfAppend},
      {"create", "create an empty table file with the given fields", RunDbfCreate},
  };
  return Dispatch("kestal dbf", table, args);
}

}  // namespace kestal::tool
