// The one logger of the long-running commands (bridge, sql follow): every
// notice, the closing line and a failure that ends the command go through it,
// as a line of text ("kestal bridge: TEXT", the default) or, with
// --log-format json, as one JSON object per line on stderr:
//   {"time":"2026-12-07T15:22:54.123Z","level":"info","event":"notice",
//    "bridge":"orders","message":"...","copied":12}
// What must hold: each JSON line is complete and valid UTF-8 whatever the
// message holds (table text in GBK is converted, control characters are
// escaped), and a line is written with one fwrite so that lines of several
// threads do not interleave.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace kestal::tool {

enum class LogFormat { kText, kJson };

// A number that goes with an event ("copied": 12).
using LogNumber = std::pair<std::string, int64_t>;

// Sets the format of every logger in the process (and of Dispatch's
// failure line). Throws UsageError for a value other than text or json.
void SetLogFormat(const std::string& value);
LogFormat CurrentLogFormat();

class Logger {
 public:
  // prefix names the command in text lines ("kestal bridge"); subject_key
  // and subject name what the lines are about in JSON ("bridge", "orders").
  Logger(std::string prefix, std::string subject_key, std::string subject);

  // An event at level "info".
  void Info(const std::string& event, const std::string& message,
            const std::vector<LogNumber>& numbers = {}) const;
  // An event at level "warning" (the database lost, a batch failing).
  void Warn(const std::string& event, const std::string& message,
            const std::vector<LogNumber>& numbers = {}) const;
  // The same subject under another command prefix.
  const std::string& prefix() const { return prefix_; }

 private:
  void Write(const char* level, const std::string& event, const std::string& message,
             const std::vector<LogNumber>& numbers) const;

  std::string prefix_;
  std::string subject_key_;
  std::string subject_;
};

// The failure that ends a command, as Dispatch reports it: a text line
// "PATH: MESSAGE" (and the hint on a line of its own), or a JSON object of
// level "error" and event "failed".
void LogFailure(const std::string& path, const std::string& message, const std::string& hint = "");

// text as the body of a JSON string (without the quotes): valid UTF-8 with
// '"', '\\' and control characters escaped. Text that is not UTF-8 is taken
// as GBK; bytes that are neither become U+FFFD.
std::string JsonEscape(const std::string& text);

}  // namespace kestal::tool
