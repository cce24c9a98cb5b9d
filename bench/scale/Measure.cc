// Runs one case of the scale benchmark as a child process and measures it:
// wall time from fork to exit (or to the moment the caller's done test first
// holds) and the child's peak resident memory from wait4's rusage, which
// counts that process alone, not the driver holding the scratch tables.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "Scale.h"

namespace kestal::scale {
namespace {

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The value of key (as "key=") in the child's output, or -1 when it printed
// none.
double Reported(const std::string& out, const std::string& key) {
  const size_t at = out.rfind(key + "=");
  return at == std::string::npos ? -1 : std::atof(out.c_str() + at + key.size() + 1);
}

double Seconds(const struct timeval& tv) {
  return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
}

// Reads fd to its end into *text.
void Drain(int fd, std::string* text) {
  char buf[4096];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) text->append(buf, static_cast<size_t>(n));
}

}  // namespace

double ProcessCpuSeconds() {
  struct timespec ts {};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

Measured RunMeasured(const std::vector<std::string>& argv, const std::string& out_path,
                     const std::function<bool()>& done) {
  Measured m;
  int pipe_fds[2] = {-1, -1};
  if (out_path.empty() && pipe(pipe_fds) != 0) {
    std::perror("scale: pipe");
    return m;
  }
  std::fflush(nullptr);
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid < 0) {
    std::perror("scale: fork");
    return m;
  }
  if (pid == 0) {
    const int out = out_path.empty()
                        ? pipe_fds[1]
                        : open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0 || dup2(out, STDOUT_FILENO) < 0) _exit(126);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    std::fprintf(stderr, "scale: cannot run %s: %s\n", args[0], std::strerror(errno));
    _exit(127);
  }
  // The captured output is small (a summary line): read it after the child
  // ends, unless it is a long-running command stopped by done (which writes
  // to a file instead).
  if (pipe_fds[1] >= 0) close(pipe_fds[1]);
  int status = 0;
  struct rusage usage {};
  bool stopped = false;
  if (done) {
    for (;;) {
      const pid_t got = wait4(pid, &status, WNOHANG, &usage);
      if (got == pid) break;  // ended by itself: done never held
      if (done()) {
        m.seconds = SecondsSince(start);
        stopped = true;
        kill(pid, SIGTERM);
        wait4(pid, &status, 0, &usage);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  } else {
    if (pipe_fds[0] >= 0) Drain(pipe_fds[0], &m.out);
    wait4(pid, &status, 0, &usage);
    m.seconds = SecondsSince(start);
  }
  if (pipe_fds[0] >= 0) {
    Drain(pipe_fds[0], &m.out);
    close(pipe_fds[0]);
  }
  m.peak_kb = usage.ru_maxrss;
  m.ok = stopped || (WIFEXITED(status) && WEXITSTATUS(status) == 0);
  m.cpu = Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
  if (Reported(m.out, "seconds") >= 0) m.seconds = Reported(m.out, "seconds");
  if (Reported(m.out, "cpu") >= 0) m.cpu = Reported(m.out, "cpu");
  return m;
}

}  // namespace kestal::scale
