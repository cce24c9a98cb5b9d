// The fault-injecting TCP relay (Relay.h). One thread runs a poll loop over
// the listening socket, a wake-up pipe and every relayed pair; commands set
// the shared mode under the state's mutex and wake the loop.
#include "support/Relay.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <list>
#include <mutex>
#include <stdexcept>
#include <utility>
#include <vector>

namespace kestal::test {
namespace {

constexpr size_t kHeldMax = 1 << 20;  // bytes held per direction before reading stops

void NonBlocking(int fd) {
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

// Closes fd so that the peer sees a reset, not an orderly end.
void Reset(int fd) {
  if (fd < 0) return;
  linger l{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  close(fd);
}

int ConnectTo(const std::string& host, int port) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) return -1;
  int fd = socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd >= 0 && connect(fd, found->ai_addr, found->ai_addrlen) != 0) {
    close(fd);
    fd = -1;
  }
  freeaddrinfo(found);
  return fd;
}

// One direction of a pair: bytes read from `from` wait in held until
// written to `to`.
struct Flow {
  std::string held;
  bool ended = false;  // `from` reached its end
};

struct Pair {
  int client = -1;
  int server = -1;
  Flow up;    // client -> server
  Flow down;  // server -> client
  bool dead = false;
  bool held = false;  // stalled: nothing read, nothing written
};

// Moves what fd has to read into flow; false at an error.
bool ReadInto(int fd, Flow* flow) {
  char buffer[65536];
  const ssize_t n = read(fd, buffer, sizeof buffer);
  if (n > 0) {
    flow->held.append(buffer, static_cast<size_t>(n));
    return true;
  }
  if (n == 0) {
    flow->ended = true;
    return true;
  }
  return errno == EAGAIN || errno == EINTR;
}

// Writes what flow holds to fd; false at an error.
bool WriteFrom(int fd, Flow* flow) {
  // MSG_NOSIGNAL: a peer that is gone is an error here, not a SIGPIPE that
  // would end the test process.
  const ssize_t n = send(fd, flow->held.data(), flow->held.size(), MSG_NOSIGNAL);
  if (n >= 0) {
    flow->held.erase(0, static_cast<size_t>(n));
    return true;
  }
  return errno == EAGAIN || errno == EINTR;
}

}  // namespace

struct Relay::State {
  std::mutex mutex;
  bool stalled = false;      // new connections are held
  bool hold_all = false;     // set by Stall: hold every existing connection
  bool release_all = false;  // set by Pass: release every connection
  bool cut = false;
  bool stop = false;
  std::string host;
  int target_port = 0;
};

Relay::Relay(const std::string& host, int port) : state_(std::make_unique<State>()) {
  state_->host = host;
  state_->target_port = port;
  listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (listen_fd_ < 0 || bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(listen_fd_, 64) != 0 ||
      getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
      pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
    throw std::runtime_error(std::string("relay: cannot listen: ") + strerror(errno));
  }
  NonBlocking(listen_fd_);
  port_ = ntohs(addr.sin_port);
  thread_ = std::thread([this] { Run(); });
}

Relay::~Relay() {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->stop = true;
  }
  Wake();
  thread_.join();
  close(listen_fd_);
  close(wake_[0]);
  close(wake_[1]);
}

void Relay::Wake() {
  const char c = 1;
  if (write(wake_[1], &c, 1) < 0) {
  }
}

void Relay::Pass() {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->stalled = false;
    state_->release_all = true;
    state_->hold_all = false;
  }
  Wake();
}

void Relay::PassNew() {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->stalled = false;
  }
  Wake();
}

void Relay::Stall() {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->stalled = true;
    state_->hold_all = true;
    state_->release_all = false;
  }
  Wake();
}

void Relay::Cut() {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->cut = true;
  }
  Wake();
}

void Relay::Run() {
  std::list<Pair> pairs;
  while (true) {
    bool stalled;
    {
      std::lock_guard<std::mutex> lock(state_->mutex);
      if (state_->stop) break;
      if (state_->cut) {
        for (Pair& p : pairs) {
          Reset(p.client);
          Reset(p.server);
        }
        pairs.clear();
        state_->cut = false;
      }
      stalled = state_->stalled;
      for (Pair& p : pairs) {
        if (state_->hold_all) p.held = true;
        if (state_->release_all) p.held = false;
      }
      state_->hold_all = false;
      state_->release_all = false;
    }
    std::vector<pollfd> fds{{wake_[0], POLLIN, 0}, {listen_fd_, POLLIN, 0}};
    // The pair and side of each entry; a side with nothing to wait for is
    // left out (fd -1), or poll would report its hang-up again and again.
    std::vector<std::pair<Pair*, bool>> owners{{nullptr, false}, {nullptr, false}};
    for (Pair& p : pairs) {
      if (p.held) continue;  // nothing read, nothing written
      short c = 0, s = 0;
      if (!p.up.ended && p.up.held.size() < kHeldMax) c |= POLLIN;
      if (!p.down.ended && p.down.held.size() < kHeldMax) s |= POLLIN;
      if (!p.up.held.empty()) s |= POLLOUT;
      if (!p.down.held.empty()) c |= POLLOUT;
      fds.push_back({c != 0 ? p.client : -1, c, 0});
      owners.push_back({&p, true});
      fds.push_back({s != 0 ? p.server : -1, s, 0});
      owners.push_back({&p, false});
    }
    if (poll(fds.data(), fds.size(), 1000) < 0 && errno != EINTR) break;
    if (fds[0].revents & POLLIN) {
      char drain[64];
      while (read(wake_[0], drain, sizeof drain) > 0) {
      }
    }
    if (fds[1].revents & POLLIN) {
      const int client = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client >= 0) {
        ++accepted_;
        const int server = ConnectTo(state_->host, state_->target_port);
        if (server < 0) {
          Reset(client);
        } else {
          NonBlocking(client);
          NonBlocking(server);
          Pair p;
          p.client = client;
          p.server = server;
          p.held = stalled;
          pairs.push_back(std::move(p));
        }
      }
    }
    for (size_t i = 2; i < fds.size(); ++i) {
      if (fds[i].fd < 0) continue;
      Pair& p = *owners[i].first;
      const bool is_client = owners[i].second;
      Flow* in = is_client ? &p.up : &p.down;   // read from this socket
      Flow* out = is_client ? &p.down : &p.up;  // written to this socket
      if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) && !in->ended &&
          !ReadInto(fds[i].fd, in)) {
        p.dead = true;
      }
      if ((fds[i].revents & POLLOUT) && !WriteFrom(fds[i].fd, out)) p.dead = true;
    }
    for (auto it = pairs.begin(); it != pairs.end();) {
      Pair& p = *it;
      // An end read on one side passes on once what came before it is out.
      if (p.up.ended && p.up.held.empty()) shutdown(p.server, SHUT_WR);
      if (p.down.ended && p.down.held.empty()) shutdown(p.client, SHUT_WR);
      if (p.dead || (p.up.ended && p.down.ended && p.up.held.empty() && p.down.held.empty())) {
        close(p.client);
        close(p.server);
        it = pairs.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (Pair& p : pairs) {
    Reset(p.client);
    Reset(p.server);
  }
}

}  // namespace kestal::test

namespace kestal::test {

std::string ThroughRelay(const std::string& connection, int port, int command_timeout_seconds) {
  std::string out;
  size_t start = 0;
  while (start <= connection.size()) {
    size_t end = connection.find(';', start);
    if (end == std::string::npos) end = connection.size();
    const std::string part = connection.substr(start, end - start);
    if (!part.empty() && part.rfind("Port=", 0) != 0 && part.rfind("Server=", 0) != 0) {
      out += part + ";";
    }
    start = end + 1;
  }
  return out + "Server=127.0.0.1;Port=" + std::to_string(port) +
         ";Command Timeout=" + std::to_string(command_timeout_seconds);
}

int PostgresPort() {
  const char* port = std::getenv("KESTAL_PG_PORT");
  return port != nullptr ? std::atoi(port) : 0;
}

}  // namespace kestal::test
