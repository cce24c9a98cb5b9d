// Whole writes to a file descriptor, for the tool's files that must not be
// left with half a line (reject file, follow state).
#pragma once

#include <string>

namespace kestal::tool {

// Writes all of text to fd, retrying short writes and EINTR; false with errno
// set when a write fails.
bool WriteAll(int fd, const std::string& text);

}  // namespace kestal::tool
