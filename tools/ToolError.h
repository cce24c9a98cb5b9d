// The two ways a command fails. Handlers throw them; Dispatch turns them into
// a message on stderr and the exit status.
#pragma once

#include <stdexcept>
#include <string>

namespace kestal::tool {

// Exit statuses of every command.
enum ExitStatus { kExitOk = 0, kExitError = 1, kExitUsage = 2, kExitClaimed = 3 };

// Wrong usage: unknown command or option, missing or malformed argument.
// Exit status 2.
class UsageError : public std::runtime_error {
 public:
  explicit UsageError(const std::string& what) : std::runtime_error(what) {}
};

// The command was understood but could not be carried out (missing file, bad
// input data, a failed library call). Exit status 1.
class ToolError : public std::runtime_error {
 public:
  explicit ToolError(const std::string& what) : std::runtime_error(what) {}
};

// Another bridge holds the target table ("another bridge is copying into
// TABLE"). Exit status 3.
class ClaimError : public ToolError {
 public:
  explicit ClaimError(const std::string& what) : ToolError(what) {}
};

}  // namespace kestal::tool
