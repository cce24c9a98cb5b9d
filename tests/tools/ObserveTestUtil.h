// Test side of the observability of the long-running commands: a plain HTTP
// GET over a raw socket, a strict reader of the Prometheus text format, a
// strict JSON reader for log lines, and a unix datagram socket that stands
// in for systemd's notification socket.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "tools/ToolRunner.h"

namespace kestal::test {

struct HttpReply {
  int status = 0;  // 0: no answer
  std::string body;
};

// GET path from address ("127.0.0.1:9187") over a fresh connection.
HttpReply HttpGet(const std::string& address, const std::string& path);

// The samples of a /metrics body by series ("name{labels}"). Fails the test
// (and returns what it read) when a line breaks the format or a sample comes
// without its family's HELP and TYPE lines.
std::map<std::string, double> ParseMetrics(const std::string& body);

// Reads one JSON object; *fields gets its top-level members (strings
// unescaped, other values as written). False with *error for anything that
// is not exactly one valid object, or that holds invalid UTF-8.
bool ParseJsonObject(const std::string& text, std::map<std::string, std::string>* fields,
                     std::string* error);

// Waits up to timeout_ms for the tool's stderr to name its metrics address
// ("metrics on http://ADDR/metrics"); returns ADDR, or "" when it does not.
std::string WaitForMetricsAddress(RunningTool& tool, int timeout_ms);

// The lines of text, without their line feeds.
std::vector<std::string> Lines(const std::string& text);

// A unix datagram socket bound in a folder, as systemd's NOTIFY_SOCKET.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path);
  ~NotifySocket();
  NotifySocket(const NotifySocket&) = delete;
  NotifySocket& operator=(const NotifySocket&) = delete;
  const std::string& path() const { return path_; }
  // The next datagram within timeout_ms, or "".
  std::string Receive(int timeout_ms);

 private:
  std::string path_;
  int fd_ = -1;
};

}  // namespace kestal::test
