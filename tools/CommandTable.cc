// The top-level command table. A new command group adds one line here and a
// handler in a file of its own.
#include "tools/Command.h"
#include "tools/Commands.h"

namespace kestal::tool {

const std::vector<Command>& TopLevelCommands() {
  static const std::vector<Command> table = {
      {"dbf", "dBASE III table files: info, cat, follow, append, create", RunDbfGroup},
      {"demo", "one process appends orders to a table file while another follows it", RunDemo},
  };
  return table;
}

}  // namespace kestal::tool
