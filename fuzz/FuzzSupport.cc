// Shared pieces of the fuzz targets (see FuzzSupport.h).
#include "fuzz/FuzzSupport.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace kestal::fuzz {
namespace {

[[noreturn]] void HarnessError(const char* operation, const std::string& path) {
  fprintf(stderr, "fuzz harness: %s %s: %s\n", operation, path.c_str(), strerror(errno));
  abort();
}

void RemoveScratch() {
  std::error_code ignored;
  std::filesystem::remove_all(ScratchDir(), ignored);
}

}  // namespace

void Fail(const char* what, const char* file, int line, const std::string& detail) {
  fprintf(stderr, "invariant failed: %s (%s:%d)\n  %s\n", what, file, line, detail.c_str());
  fflush(stderr);
  abort();
}

const std::string& ScratchDir() {
  static const std::string dir = [] {
    // Memory-backed when possible: the targets write and sync files on every
    // input, and a disk would make that most of the run's time.
    const char* base = getenv("TMPDIR");
    if (base == nullptr || *base == '\0')
      base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string pattern = std::string(base) + "/kestal-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) HarnessError("mkdtemp", pattern);
    return pattern;
  }();
  static const bool registered = (atexit(RemoveScratch), true);
  (void)registered;
  return dir;
}

void WriteWholeFile(const std::string& path, const void* data, size_t size) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd < 0) HarnessError("open", path);
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = write(fd, p, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      HarnessError("write", path);
    }
    p += n;
    size -= static_cast<size_t>(n);
  }
  if (close(fd) != 0) HarnessError("close", path);
}

std::string ReadWholeFile(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) HarnessError("open", path);
  std::string out;
  char buf[65536];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      HarnessError("read", path);
    }
    if (n == 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return out;
}

}  // namespace kestal::fuzz
