#include "tools/ToolRunner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <stdexcept>

#include "support/TestSupport.h"

namespace kestal::test {
namespace {

// Variables SetChildEnv gave for the children, set after the defaults.
std::vector<std::pair<std::string, std::string>>& ChildEnv() {
  static std::vector<std::pair<std::string, std::string>> env;
  return env;
}

std::string Dirname(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

// Starts kestal with stdin and stdout (and stderr when err is given) on
// pipes; returns the pid and the parent's ends.
pid_t Start(const std::vector<std::string>& args, const std::string& lc_all, int* in, int* out,
            int* err, long long file_size_limit = -1, const std::string& cwd = "") {
  const std::string exe = KestalPath();
  int pin[2], pout[2], perr[2] = {-1, -1};
  if (pipe2(pin, O_CLOEXEC) != 0 || pipe2(pout, O_CLOEXEC) != 0 ||
      (err != nullptr && pipe2(perr, O_CLOEXEC) != 0)) {
    throw std::runtime_error("pipe failed");
  }
  const pid_t pid = Spawn([&]() -> int {
    dup2(pin[0], 0);
    dup2(pout[1], 1);
    if (err != nullptr) dup2(perr[1], 2);
    if (file_size_limit >= 0) {
      const struct rlimit limit = {static_cast<rlim_t>(file_size_limit),
                                   static_cast<rlim_t>(file_size_limit)};
      // The signal keeps its default action (a kill): the tool itself must
      // turn a write past the limit into an error.
      signal(SIGXFSZ, SIG_DFL);
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    setenv("LC_ALL", lc_all.c_str(), 1);
    unsetenv("KESTAL_CODEPAGE");
    for (const auto& [name, value] : ChildEnv()) setenv(name.c_str(), value.c_str(), 1);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(exe.c_str()));
    std::vector<std::string> copy = args;
    for (std::string& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(exe.c_str(), argv.data());
    _exit(127);
  });
  close(pin[0]);
  close(pout[1]);
  if (err != nullptr) close(perr[1]);
  *in = pin[1];
  *out = pout[0];
  if (err != nullptr) *err = perr[0];
  return pid;
}

}  // namespace

void SetChildEnv(const std::string& name, const std::string& value) {
  auto& env = ChildEnv();
  env.erase(std::remove_if(env.begin(), env.end(), [&](const auto& e) { return e.first == name; }),
            env.end());
  if (!value.empty()) env.emplace_back(name, value);
}

const std::string& KestalPath() {
  static const std::string path = [] {
    char buf[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) throw std::runtime_error("cannot read /proc/self/exe");
    return Dirname(Dirname(std::string(buf, static_cast<size_t>(n)))) + "/kestal";
  }();
  return path;
}

ToolResult RunKestal(const std::vector<std::string>& args, const std::string& input,
                     const std::string& lc_all, long long file_size_limit, const std::string& cwd) {
  int in = -1, out = -1, err = -1;
  ToolResult result;
  const pid_t pid = Start(args, lc_all, &in, &out, &err, file_size_limit, cwd);
  signal(SIGPIPE, SIG_IGN);  // the child may stop reading its input early
  size_t written = 0;
  if (input.empty()) {
    close(in);
    in = -1;
  }
  while (out >= 0 || err >= 0) {
    struct pollfd p[3] = {{out, POLLIN, 0}, {err, POLLIN, 0}, {in, POLLOUT, 0}};
    if (poll(p, 3, 60000) <= 0) break;
    char buf[65536];
    for (int k = 0; k < 2; ++k) {
      int* fd = k == 0 ? &out : &err;
      if (*fd >= 0 && (p[k].revents & (POLLIN | POLLHUP | POLLERR))) {
        const ssize_t r = read(*fd, buf, sizeof buf);
        if (r > 0) {
          (k == 0 ? result.out : result.err).append(buf, static_cast<size_t>(r));
        } else {
          close(*fd);
          *fd = -1;
        }
      }
    }
    if (in >= 0 && (p[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
      const ssize_t w =
          write(in, input.data() + written, std::min<size_t>(input.size() - written, 65536));
      if (w > 0) written += static_cast<size_t>(w);
      if (w < 0 || written == input.size()) {
        close(in);
        in = -1;
      }
    }
  }
  if (in >= 0) close(in);
  result.status = Wait(pid);
  return result;
}

RunningTool::RunningTool(const std::vector<std::string>& args, const std::string& lc_all,
                         const std::string& cwd, bool capture_stderr) {
  pid_ = Start(args, lc_all, &in_, &out_fd_, capture_stderr ? &err_fd_ : nullptr, -1, cwd);
  signal(SIGPIPE, SIG_IGN);
}

RunningTool::~RunningTool() {
  if (err_fd_ >= 0) close(err_fd_);
  if (in_ >= 0) close(in_);
  if (out_fd_ >= 0) close(out_fd_);
  if (pid_ > 0) Kill(pid_);
}

void RunningTool::Write(const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t w = write(in_, text.data() + done, text.size() - done);
    if (w <= 0) throw std::runtime_error("write to the tool failed");
    done += static_cast<size_t>(w);
  }
}

void RunningTool::CloseInput() {
  if (in_ >= 0) close(in_);
  in_ = -1;
}

void RunningTool::Pump(int timeout_ms) {
  if (out_fd_ < 0) return;
  struct pollfd p = {out_fd_, POLLIN, 0};
  if (poll(&p, 1, timeout_ms) <= 0) return;
  char buf[65536];
  const ssize_t r = read(out_fd_, buf, sizeof buf);
  if (r > 0) {
    out_.append(buf, static_cast<size_t>(r));
  } else {
    close(out_fd_);
    out_fd_ = -1;
  }
}

const std::string& RunningTool::ReadLines(size_t lines, int timeout_ms) {
  const long long end = NowMs() + timeout_ms;
  while (out_fd_ >= 0 && static_cast<size_t>(std::count(out_.begin(), out_.end(), '\n')) < lines) {
    const long long left = end - NowMs();
    if (left <= 0) break;
    Pump(static_cast<int>(left));
  }
  return out_;
}

int RunningTool::Stop(int sig) {
  kill(pid_, sig);
  return Wait();
}

int RunningTool::Wait() {
  CloseInput();
  const long long end = NowMs() + 30000;
  while (out_fd_ >= 0 && NowMs() < end) Pump(1000);
  if (out_fd_ >= 0) kill(pid_, SIGKILL);  // hung: the test fails on the status
  const int status = kestal::test::Wait(pid_);
  pid_ = -1;
  DrainErr();
  return status;
}

// Reads what the process wrote to stderr so far (all of it once it ended).
void RunningTool::DrainErr() {
  char buf[65536];
  while (err_fd_ >= 0) {
    struct pollfd p = {err_fd_, POLLIN, 0};
    if (poll(&p, 1, 0) <= 0) return;
    const ssize_t r = read(err_fd_, buf, sizeof buf);
    if (r <= 0) {
      close(err_fd_);
      err_fd_ = -1;
      return;
    }
    err_.append(buf, static_cast<size_t>(r));
  }
}

}  // namespace kestal::test
