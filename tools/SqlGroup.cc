// "kestal sql": the database-table commands. A new subcommand adds one line
// to the table below.
#include "tools/Command.h"
#include "tools/Commands.h"

namespace kestal::tool {

int RunSqlGroup(const Args& args) {
  static const std::vector<Command> table = {
      {"info", "show the field table of TABLE as the library maps it, and its row count",
       RunSqlInfo},
      {"follow", "print rows as CSV as they arrive, checking the keys are contiguous",
       RunSqlFollow},
      {"exec", "run one statement on the database and print its answer", RunSqlExec},
      {"check", "prove the library's operations end to end on a scratch table", RunSqlCheck},
  };
  return Dispatch("kestal sql", table, args);
}

}  // namespace kestal::tool
