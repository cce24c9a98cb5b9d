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

// Resident memory of this process in kB (VmRSS of /proc/self/status); -1
// when it cannot be read.
long ResidentKb();

#if defined(__SANITIZE_ADDRESS__)
#define KESTAL_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KESTAL_TEST_ASAN 1
#endif
#endif

// True in a build under AddressSanitizer, whose quarantine and shadow memory
// make resident memory say nothing about the program's own growth.
#ifdef KESTAL_TEST_ASAN
constexpr bool kUnderAddressSanitizer = true;
#else
constexpr bool kUnderAddressSanitizer = false;
#endif

// While one lives, what this thread allocates is left out of the leak check
// (for third-party code whose leaks are not ours to fix); a no-op elsewhere.
class LeaksIgnoredHere {
 public:
  LeaksIgnoredHere();
  ~LeaksIgnoredHere();
  LeaksIgnoredHere(const LeaksIgnoredHere&) = delete;
  LeaksIgnoredHere& operator=(const LeaksIgnoredHere&) = delete;
};

}  // namespace kestal::test
