// The HTTP side of --metrics: cpp-httplib's server on a thread of its own,
// answering from the registry. Built only with cpp-httplib; without it,
// Start says so and the command stops before it copies anything.
#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "tools/Metrics.h"
#include "tools/Options.h"
#include "tools/ToolError.h"

#ifdef KESTAL_WITH_HTTPLIB
#include <httplib.h>
#endif

namespace kestal::tool {
namespace {

// host and port of "ADDR:PORT" or "[ADDR]:PORT"; an empty ADDR is every
// interface. Throws UsageError for anything else.
void SplitAddress(const std::string& address, std::string* host, int* port) {
  const size_t colon = address.rfind(':');
  const std::string wants = "ADDR:PORT, such as 127.0.0.1:9187 or [::1]:0";
  if (colon == std::string::npos) throw UsageError(BadOptionValue("metrics", wants, address));
  *host = address.substr(0, colon);
  const std::string digits = address.substr(colon + 1);
  if (host->size() >= 2 && host->front() == '[' && host->back() == ']') {
    *host = host->substr(1, host->size() - 2);
  } else if (host->find(':') != std::string::npos) {
    throw UsageError(BadOptionValue("metrics", wants, address));
  }
  if (host->empty()) *host = "0.0.0.0";
  if (digits.empty() || digits.size() > 5 ||
      digits.find_first_not_of("0123456789") != std::string::npos || std::stol(digits) > 65535) {
    throw UsageError(BadOptionValue("metrics", wants, address));
  }
  *port = static_cast<int>(std::stol(digits));
}

}  // namespace

struct MetricsServer::Impl {
  Impl(const StatsRegistry& r, const std::string& a, int64_t stuck)
      : registry(r), address(a), stuck_after_ms(stuck) {}
  const StatsRegistry& registry;
  const std::string address;
  const int64_t stuck_after_ms;
  std::string host;
  int port = 0;
#ifdef KESTAL_WITH_HTTPLIB
  httplib::Server server;
#endif
  std::thread thread;
};

MetricsServer::MetricsServer(const StatsRegistry& registry, const std::string& address,
                             int64_t stuck_after_ms)
    : impl_(std::make_unique<Impl>(registry, address, stuck_after_ms)) {
  SplitAddress(address, &impl_->host, &impl_->port);
}

void MetricsServer::CheckAddress(const std::string& address) {
  std::string host;
  int port = 0;
  SplitAddress(address, &host, &port);
}

MetricsServer::~MetricsServer() {
#ifdef KESTAL_WITH_HTTPLIB
  if (impl_->thread.joinable()) {
    impl_->server.stop();
    impl_->thread.join();
  }
#endif
}

#ifdef KESTAL_WITH_HTTPLIB
std::string MetricsServer::Start() {
  Impl& m = *impl_;
  httplib::Server& s = m.server;
  // Two workers: a scraper and a probe at the same time; a client that
  // stalls is dropped after the read time-out.
  s.new_task_queue = [] { return new httplib::ThreadPool(2); };
  s.set_read_timeout(5, 0);
  s.set_write_timeout(5, 0);
  s.Get("/metrics", [&m](const httplib::Request&, httplib::Response& res) {
    res.set_content(m.registry.Render(WallMs()), "text/plain; version=0.0.4; charset=utf-8");
  });
  s.Get("/healthz", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("ok\n", "text/plain; charset=utf-8");
  });
  s.Get("/readyz", [&m](const httplib::Request&, httplib::Response& res) {
    const std::string reasons = m.registry.NotReady(MonoMs(), m.stuck_after_ms);
    res.status = reasons.empty() ? 200 : 503;
    res.set_content(reasons.empty() ? "ready\n" : reasons, "text/plain; charset=utf-8");
  });

  errno = 0;
  int port = m.port;
  bool bound;
  if (port == 0) {
    port = s.bind_to_any_port(m.host);
    bound = port > 0;
  } else {
    bound = s.bind_to_port(m.host, port);
  }
  if (!bound) {
    const int err = errno;
    throw ToolError("cannot serve metrics on " + m.address + ": " +
                    (err != 0 ? strerror(err) : "the address cannot be resolved or bound"));
  }
  // The stop signals belong to the command's loop: the server's threads
  // (this one and the workers it starts) never take them.
  sigset_t block, old;
  sigemptyset(&block);
  sigaddset(&block, SIGINT);
  sigaddset(&block, SIGTERM);
  sigaddset(&block, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &block, &old);
  m.thread = std::thread([&s] { s.listen_after_bind(); });
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  const bool v6 = m.host.find(':') != std::string::npos;
  return (v6 ? "[" + m.host + "]" : m.host) + ":" + std::to_string(port);
}
#else
std::string MetricsServer::Start() {
  throw ToolError("cannot serve metrics on " + impl_->address +
                  ": this kestal was built without cpp-httplib (libcpp-httplib-dev); rebuild "
                  "with it to use --metrics");
}
#endif

}  // namespace kestal::tool
