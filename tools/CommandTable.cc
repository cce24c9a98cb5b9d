// The top-level command table. A new command group adds one line here and a
// handler in a file of its own.
#include "tools/Command.h"
#include "tools/Commands.h"

namespace kestal::tool {

const std::vector<Command>& TopLevelCommands() {
  static const std::vector<Command> table = {
      {"dbf", "dBASE III table files: info, cat, follow, append, create", RunDbfGroup},
      {"sql", "database tables: info, follow, exec", RunSqlGroup},
      {"bridge", "copy a growing table file into a database table, resuming after any stop",
       RunBridge},
      {"demo", "orders appended to a table file, bridged into SQLite and followed there", RunDemo},
  };
  return table;
}

}  // namespace kestal::tool
