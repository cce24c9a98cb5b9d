// The raw baseline appender: what any correct appender to a shared table
// must do, with nothing else. Locks are fcntl open-file-description locks on
// the record count (bytes 4 to 7), as the library takes them.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "BenchTable.h"

namespace kestal::bench {

// Not thread-safe; one object per process.
class RawAppender {
 public:
  // Opens path for reading and writing; a failure shows in the first call.
  explicit RawAppender(const std::string& path) : fd_(open(path.c_str(), O_RDWR | O_CLOEXEC)) {}
  ~RawAppender() { close(fd_); }

  // Appends n record images under the lock; true on success.
  bool Append(const char* records, uint32_t n) {
    if (!Lock(F_WRLCK)) return false;
    uint32_t count = 0;
    bool ok = pread(fd_, &count, 4, 4) == 4;
    const size_t bytes = static_cast<size_t>(n) * kRecordLength;
    buf_.assign(records, records + bytes);
    buf_.push_back('\x1A');
    const off_t at = kHeaderLength + static_cast<off_t>(count) * kRecordLength;
    ok = ok && pwrite(fd_, buf_.data(), buf_.size(), at) == static_cast<ssize_t>(buf_.size());
    count += n;
    ok = ok && pwrite(fd_, &count, 4, 4) == 4;
    return Lock(F_UNLCK) && ok;
  }

  // A plain write of bytes at the end of what this object wrote so far.
  bool Write(const char* bytes, size_t size) {
    const bool ok = pwrite(fd_, bytes, size, end_) == static_cast<ssize_t>(size);
    end_ += static_cast<off_t>(size);
    return ok;
  }

 private:
  bool Lock(short type) {
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = 4;
    fl.l_len = 4;
    return fcntl(fd_, F_OFD_SETLK, &fl) == 0;
  }

  int fd_;
  off_t end_ = kHeaderLength;
  std::vector<char> buf_;
};

}  // namespace kestal::bench
