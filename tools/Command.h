// Command tables: a command is a name, a one-line summary and a handler. The
// top-level table lives in CommandTable.cc; a command group (such as "dbf")
// keeps its own table and dispatches through the same function.
#pragma once

#include <string>
#include <vector>

namespace kestal::tool {

// A handler receives the arguments after its command name and returns the
// exit status; it may throw UsageError or ToolError instead.
using Handler = int (*)(const std::vector<std::string>& args);

struct Command {
  const char* name;
  const char* summary;
  Handler handler;
};

// The top-level commands of the kestal tool.
const std::vector<Command>& TopLevelCommands();

// Runs the command named by args[0] with the remaining arguments. prefix is
// the command path so far ("kestal", "kestal dbf") for messages. No name,
// --help or -h prints the command list (exit 2 without a name, 0 for help);
// --version anywhere among the options prints "kestal X.Y.Z" (exit 0); an
// unknown name is a usage error. Errors thrown by the handler become a
// message on stderr and exit status 1 or 2.
int Dispatch(const std::string& prefix, const std::vector<Command>& table,
             const std::vector<std::string>& args);

}  // namespace kestal::tool
