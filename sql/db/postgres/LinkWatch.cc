// The silent-link watchdog and the fence for lost sessions (LinkWatch.h).
// One mutex guards the watch table and the lost-backend list; the watchdog
// thread only ever shuts a socket down while its watch is registered, and a
// watch is removed before its call returns, so the socket is still the
// session's own when it is shut down.
#include "sql/db/postgres/LinkWatch.h"

#include <sys/socket.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "sql/db/ComError.h"

namespace kestal::db::postgres {
namespace {

using Clock = std::chrono::steady_clock;
using ResultPtr = std::unique_ptr<PGresult, decltype(&PQclear)>;

struct Watch {
  int fd;
  std::chrono::milliseconds span;
  Clock::time_point deadline;
  bool fired;
};

struct Watchdog {
  std::mutex mutex;
  std::condition_variable changed;
  std::map<long, Watch> watches;
  long next_id = 1;
  bool running = false;
  // When the thread wakes next by itself. A new watch whose deadline is not
  // before it needs no wake-up: every statement arms a watch, and waking the
  // thread for each would cost a context switch per statement.
  Clock::time_point wakes_at = Clock::time_point::max();
  std::multimap<std::string, BackendId> lost;

  // Shuts down the sockets whose time ran out; sleeps until the next
  // deadline or a change. Runs for the life of the process.
  void Run() {
    std::unique_lock<std::mutex> lock(mutex);
    while (true) {
      Clock::time_point next = Clock::now() + std::chrono::hours(1);
      const Clock::time_point now = Clock::now();
      for (auto& [id, w] : watches) {
        if (w.fired) continue;
        if (w.deadline <= now) {
          shutdown(w.fd, SHUT_RDWR);
          w.fired = true;
        } else if (w.deadline < next) {
          next = w.deadline;
        }
      }
      wakes_at = next;
      changed.wait_until(lock, next);
      wakes_at = Clock::time_point::min();  // awake: it reads the table again before sleeping
    }
  }
};

// Never destroyed: the detached thread may outlive static destruction.
Watchdog& Dog() {
  static Watchdog* dog = new Watchdog;
  return *dog;
}

}  // namespace

LinkWatch::LinkWatch(PGconn* conn, long seconds) {
  const int fd = conn != nullptr ? PQsocket(conn) : -1;
  if (seconds <= 0 || fd < 0) return;
  Watchdog& dog = Dog();
  std::lock_guard<std::mutex> lock(dog.mutex);
  if (!dog.running) {
    std::thread([&dog] { dog.Run(); }).detach();
    dog.running = true;
  }
  id_ = dog.next_id++;
  const std::chrono::milliseconds span(seconds * 1000);
  const Clock::time_point deadline = Clock::now() + span;
  dog.watches[id_] = Watch{fd, span, deadline, false};
  if (deadline < dog.wakes_at) dog.changed.notify_one();
}

LinkWatch::~LinkWatch() {
  if (id_ == 0) return;
  Watchdog& dog = Dog();
  std::lock_guard<std::mutex> lock(dog.mutex);
  dog.watches.erase(id_);
}

void LinkWatch::Kick() {
  if (id_ == 0) return;
  Watchdog& dog = Dog();
  std::lock_guard<std::mutex> lock(dog.mutex);
  auto it = dog.watches.find(id_);
  if (it != dog.watches.end()) it->second.deadline = Clock::now() + it->second.span;
}

bool LinkWatch::Fired() const {
  if (id_ == 0) return false;
  Watchdog& dog = Dog();
  std::lock_guard<std::mutex> lock(dog.mutex);
  auto it = dog.watches.find(id_);
  return it != dog.watches.end() && it->second.fired;
}

BackendId ReadBackendId(PGconn* conn) {
  BackendId id;
  id.pid = PQbackendPID(conn);
  ResultPtr r(PQexec(conn,
                     "select backend_start::text from pg_stat_activity "
                     "where pid = pg_backend_pid()"),
              &PQclear);
  if (r && PQresultStatus(r.get()) == PGRES_TUPLES_OK && PQntuples(r.get()) == 1) {
    id.started = PQgetvalue(r.get(), 0, 0);
  }
  return id;
}

void RememberLost(const std::string& server, const BackendId& backend) {
  if (backend.pid <= 0 || backend.started.empty()) return;
  Watchdog& dog = Dog();
  std::lock_guard<std::mutex> lock(dog.mutex);
  dog.lost.emplace(server, backend);
}

void FenceLost(PGconn* conn, const std::string& server, long seconds) {
  std::vector<BackendId> backends;
  {
    Watchdog& dog = Dog();
    std::lock_guard<std::mutex> lock(dog.mutex);
    auto range = dog.lost.equal_range(server);
    for (auto it = range.first; it != range.second; ++it) backends.push_back(it->second);
    dog.lost.erase(range.first, range.second);
  }
  const Clock::time_point until = Clock::now() + std::chrono::seconds(seconds);
  for (size_t i = 0; i < backends.size(); ++i) {
    const BackendId& b = backends[i];
    const std::string pid = std::to_string(b.pid);
    const char* values[] = {pid.c_str(), b.started.c_str()};
    // The start time tells the lost backend from a later one that got its
    // process id.
    const char* kEnd =
        "select pg_terminate_backend(pid) from pg_stat_activity "
        "where pid = $1::int and backend_start = $2::timestamptz";
    const char* kThere =
        "select count(*) from pg_stat_activity where pid = $1::int and backend_start = "
        "$2::timestamptz";
    ResultPtr ended(PQexecParams(conn, kEnd, 2, nullptr, values, nullptr, nullptr, 0), &PQclear);
    while (true) {
      ResultPtr r(PQexecParams(conn, kThere, 2, nullptr, values, nullptr, nullptr, 0), &PQclear);
      const bool gone = r && PQresultStatus(r.get()) == PGRES_TUPLES_OK &&
                        std::string(PQgetvalue(r.get(), 0, 0)) == "0";
      if (gone) break;
      if (Clock::now() >= until || PQstatus(conn) != CONNECTION_OK) {
        // Not gone: keep it (and those not yet fenced) for the next session.
        for (size_t k = i; k < backends.size(); ++k) RememberLost(server, backends[k]);
        throw _com_error(kConnectionError,
                         CString("an earlier session of this process (backend " + pid +
                                 ") is still on the server after its link was lost"),
                         FailureKind::kLink);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
}

}  // namespace kestal::db::postgres
