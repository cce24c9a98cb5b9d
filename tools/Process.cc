#include "tools/Process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "tools/ToolError.h"

namespace kestal::tool {
namespace {

// The path of the running executable.
std::string SelfPath() {
  char buf[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) throw ToolError(std::string("cannot find the kestal executable: ") + strerror(errno));
  return std::string(buf, static_cast<size_t>(n));
}

}  // namespace

void CloseFd(int* fd) {
  if (*fd >= 0) close(*fd);
  *fd = -1;
}

Child StartSelf(const std::vector<std::string>& args, bool pipe_stdin, bool pipe_stdout) {
  const std::string exe = SelfPath();
  int in[2] = {-1, -1};
  int out[2] = {-1, -1};
  if ((pipe_stdin && pipe2(in, O_CLOEXEC) != 0) || (pipe_stdout && pipe2(out, O_CLOEXEC) != 0)) {
    const int err = errno;
    CloseFd(&in[0]);
    CloseFd(&in[1]);
    throw ToolError(std::string("cannot make a pipe: ") + strerror(err));
  }
  std::vector<std::string> argv_text = {exe};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);

  fflush(nullptr);
  const pid_t pid = fork();
  if (pid < 0) {
    const int err = errno;
    for (int* fd : {&in[0], &in[1], &out[0], &out[1]}) CloseFd(fd);
    throw ToolError(std::string("cannot start a process: ") + strerror(err));
  }
  if (pid == 0) {
    // The parent may ignore SIGPIPE or catch SIGINT/SIGTERM; the child
    // starts with the default actions.
    signal(SIGPIPE, SIG_DFL);
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    if (pipe_stdin) dup2(in[0], STDIN_FILENO);
    if (pipe_stdout) dup2(out[1], STDOUT_FILENO);
    execv(exe.c_str(), argv.data());
    _exit(127);
  }
  Child child;
  child.pid = pid;
  CloseFd(&in[0]);
  CloseFd(&out[1]);
  child.stdin_fd = in[1];
  child.stdout_fd = out[0];
  return child;
}

int WaitChild(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace kestal::tool
