// Running a long-running command from a configuration file (Config.h): one
// run per section, several named bridges in one process, one thread each.
//
// What must hold: every section's options are checked before any run
// starts, so a slip in the file starts nothing; each run owns its library
// objects (nothing is shared between the threads but stdio and the stop
// flag); a run that fails for good ends only itself, and the exit status
// tells of it; SIGINT or SIGTERM stops every run at its next step.
#pragma once

#include <string>

#include "tools/Command.h"
#include "tools/Commands.h"
#include "tools/Config.h"

namespace kestal::tool {

// The per-run state of the command on this thread: the seam on which the
// things that belong to one bridge hang. The command line's single run has
// a default one (no name).
struct BridgeSlot {
  std::string name;   // the bridge's name in the file; "" for the command line's
  std::string label;  // the prefix of its messages: "kestal bridge" or "kestal bridge NAME"
  // Only check the options and return before touching a file or database.
  bool validate_only = false;
  // Several runs share stderr: no live status line.
  bool shared_terminal = false;
};

// The slot of the run on this thread.
BridgeSlot& ThisBridge();

// The configuration-file shapes of the commands that take --config.
const ConfigShape& BridgeConfigShape();
const ConfigShape& FollowConfigShape();

// When args hold "--config FILE": runs handler (with the other arguments)
// once per section of the file, as described above, puts the exit status in
// *status and returns true. Returns false, touching nothing, without
// --config. Throws UsageError or ToolError for a file that cannot be used.
bool RunConfigured(const ConfigShape& shape, const Args& args, Handler handler, int* status);

}  // namespace kestal::tool
