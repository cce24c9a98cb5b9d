#include "tools/Command.h"

#include <cstdio>
#include <exception>

#include "module/Kestal.h"
#include "tools/Log.h"
#include "tools/ToolError.h"

namespace kestal::tool {
namespace {

// Prints the usage line and the command table of prefix to out.
void PrintList(FILE* out, const std::string& prefix, const std::vector<Command>& table) {
  fprintf(out, "Usage: %s COMMAND [ARGS...]\n\nCommands:\n", prefix.c_str());
  for (const Command& c : table) fprintf(out, "  %-10s %s\n", c.name, c.summary);
  fprintf(out, "\nRun '%s COMMAND --help' for the arguments of a command.\n", prefix.c_str());
}

// True when args ask for the version: "--version" among the options (before
// any "--").
bool AsksVersion(const std::vector<std::string>& args) {
  for (const std::string& a : args) {
    if (a == "--") return false;
    if (a == "--version") return true;
  }
  return false;
}

}  // namespace

int Dispatch(const std::string& prefix, const std::vector<Command>& table,
             const std::vector<std::string>& args) {
  if (args.empty()) {
    PrintList(stderr, prefix, table);
    return kExitUsage;
  }
  if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
    PrintList(stdout, prefix, table);
    return kExitOk;
  }
  // Every command and group answers --version the same way, here.
  if (AsksVersion(args)) {
    printf("kestal %s\n", KestalVersion());
    return kExitOk;
  }
  const Command* found = nullptr;
  for (const Command& c : table) {
    if (args[0] == c.name) found = &c;
  }
  if (found == nullptr) {
    fprintf(stderr, "%s: unknown command '%s'\nRun '%s --help' for the list of commands.\n",
            prefix.c_str(), args[0].c_str(), prefix.c_str());
    return kExitUsage;
  }
  const std::string path = prefix + " " + found->name;
  const std::vector<std::string> rest(args.begin() + 1, args.end());
  try {
    return found->handler(rest);
  } catch (const UsageError& e) {
    LogFailure(path, e.what(), "Run '" + path + " --help' for usage.");
    return kExitUsage;
  } catch (const ClaimError& e) {
    LogFailure(path, e.what());
    return kExitClaimed;
  } catch (const std::exception& e) {
    LogFailure(path, e.what());
    return kExitError;
  }
}

}  // namespace kestal::tool
