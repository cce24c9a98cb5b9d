// Helpers shared by the test binaries: scratch folders and child processes.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>

namespace kestal::test {

// A fresh folder under $TMPDIR (or /tmp), removed with its content when the
// object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Forks a child process that runs body and exits with its return value (an
// exception or a failed gtest assertion in the child gives exit code 99).
// Returns the child's pid.
pid_t Spawn(const std::function<int()>& body);
// Waits for pid; returns its exit code, or 128 + signal when it was killed.
int Wait(pid_t pid);
// Sends SIGKILL to pid and reaps it.
void Kill(pid_t pid);

// Whole file content, or "" when it cannot be read.
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);

// Milliseconds on the monotonic clock.
long long NowMs();

}  // namespace kestal::test
