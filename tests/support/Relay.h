// A TCP relay for network-fault tests: listens on a loopback port and passes
// each connection on to a target (host and port), byte for byte, both ways.
// On command it stalls (stops forwarding in both directions and accepts new
// connections without forwarding them, while every socket stays open, as a
// pulled cable or a dropping firewall looks), passes again (what was held
// back then flows), or cuts every connection (closed with a reset).
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>

namespace kestal::test {

class Relay {
 public:
  // Listens on 127.0.0.1, a free port, relaying to host:port. Throws
  // std::runtime_error when it cannot listen.
  Relay(const std::string& host, int port);
  ~Relay();
  Relay(const Relay&) = delete;
  Relay& operator=(const Relay&) = delete;

  int port() const { return port_; }
  // Forward everything (the starting state), also what was held.
  void Pass();
  // Forward nothing; keep every socket open.
  void Stall();
  // Forward new connections; those held by Stall stay held until Pass (a
  // link that came back for new sessions while old packets are still on
  // their way).
  void PassNew();
  // Reset every connection now; the state (pass or stall) stays.
  void Cut();
  // Connections accepted so far.
  int accepted() const { return accepted_.load(); }

 private:
  struct State;
  void Run();
  void Wake();

  int port_ = 0;
  int listen_fd_ = -1;
  int wake_[2] = {-1, -1};
  std::atomic<int> accepted_{0};
  std::unique_ptr<State> state_;
  std::thread thread_;
};

}  // namespace kestal::test

namespace kestal::test {
// connection (an ADO-style PostgreSQL connection string naming Port=...)
// with its port replaced by port and "Command Timeout=seconds" added.
std::string ThroughRelay(const std::string& connection, int port, int command_timeout_seconds);
// The PostgreSQL server's port from KESTAL_PG_PORT (0 when unset).
int PostgresPort();
}  // namespace kestal::test
