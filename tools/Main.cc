// Entry of the kestal command-line tool: sets up the locale (the terminal's
// encoding decides how table text is printed and read) and dispatches to the
// command table.
#include <signal.h>

#include <clocale>
#include <string>
#include <vector>

#include "tools/Command.h"

int main(int argc, char** argv) {
  setlocale(LC_ALL, "");
  // A file-size limit then fails the write with EFBIG, which the command
  // reports, instead of killing the process in the middle of its work.
  signal(SIGXFSZ, SIG_IGN);
  std::vector<std::string> args(argv + 1, argv + argc);
  return kestal::tool::Dispatch("kestal", kestal::tool::TopLevelCommands(), args);
}
