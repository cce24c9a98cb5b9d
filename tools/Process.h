// Child processes of the kestal tool itself, for commands that show several
// processes at work on one table (the demo). The child runs this same
// executable with other arguments.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace kestal::tool {

struct Child {
  pid_t pid = -1;
  int stdin_fd = -1;   // write end of the child's stdin, or -1
  int stdout_fd = -1;  // read end of the child's stdout, or -1
};

// Starts this executable with args. pipe_stdin / pipe_stdout connect the
// child's stdin / stdout to pipes held by the caller; otherwise the child
// shares the caller's. Throws ToolError when the child cannot be started.
Child StartSelf(const std::vector<std::string>& args, bool pipe_stdin, bool pipe_stdout);

// Waits for the child to end; returns its exit status, or 128 + the signal
// that ended it.
int WaitChild(pid_t pid);

// Closes fd if open and sets it to -1.
void CloseFd(int* fd);

}  // namespace kestal::tool
