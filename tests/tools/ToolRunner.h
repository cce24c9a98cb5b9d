// Runs the built kestal executable as a child process. The tool sits next to
// the tests folder of the build tree: <build>/kestal and <build>/tests/test_tools.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace kestal::test {

struct ToolResult {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
};

// Sets name=value in the environment of every kestal started from now on
// (KESTAL_CODEPAGE, which children otherwise run without); an empty value
// removes it from that list again.
void SetChildEnv(const std::string& name, const std::string& value);

// Path of the kestal executable of this build.
const std::string& KestalPath();

// Runs kestal with args, feeding input on stdin, in the locale given by
// lc_all (LC_ALL of the child), and collects its output. A file_size_limit
// of 0 or more caps the size of files the child may write (RLIMIT_FSIZE),
// with SIGXFSZ at its default action: the tool must ignore it itself so that
// writes past the limit fail with EFBIG, as on a full disk.
// A non-empty cwd is the child's working folder.
ToolResult RunKestal(const std::vector<std::string>& args, const std::string& input = "",
                     const std::string& lc_all = "C.UTF-8", long long file_size_limit = -1,
                     const std::string& cwd = "");

// A kestal process left running (follow, append) with its stdin and stdout
// connected to the test.
class RunningTool {
 public:
  // A non-empty cwd is the child's working folder; with capture_stderr its
  // stderr goes to a pipe read by DrainErr and err() (keep it short: an
  // unread pipe that fills up blocks the child).
  explicit RunningTool(const std::vector<std::string>& args, const std::string& lc_all = "C.UTF-8",
                       const std::string& cwd = "", bool capture_stderr = false);
  ~RunningTool();  // kills the process if still running
  RunningTool(const RunningTool&) = delete;
  RunningTool& operator=(const RunningTool&) = delete;

  pid_t pid() const { return pid_; }
  // Writes to the process's stdin.
  void Write(const std::string& text);
  void CloseInput();
  // Reads stdout until it holds at least lines lines or timeout_ms passes;
  // returns all stdout so far.
  const std::string& ReadLines(size_t lines, int timeout_ms);
  // Sends signal and waits for the exit status, reading the rest of stdout.
  int Stop(int signal);
  // Waits for the process to end on its own.
  int Wait();
  const std::string& out() const { return out_; }
  void DrainErr();
  const std::string& err() const { return err_; }

 private:
  void Pump(int timeout_ms);
  pid_t pid_ = -1;
  int in_ = -1;
  int out_fd_ = -1;
  int err_fd_ = -1;
  std::string out_;
  std::string err_;
};

}  // namespace kestal::test
