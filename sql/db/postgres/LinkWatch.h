// Silent links and the sessions they leave behind.
//
// A link that goes silent (a cable pulled, packets dropped, no RST) leaves
// libpq waiting for ever: keep-alive probes and TCP time-outs only help
// while the kernel has unacknowledged data, and a middlebox may answer them
// for a peer that is gone. LinkWatch bounds each call instead: while one is
// armed for a connection, a process-wide watchdog thread shuts the socket
// down once no answer has come for the given seconds; libpq then sees the
// connection end and the call fails with kConnectionError.
//
// A session lost that way may still be alive on the server, inside a
// transaction whose COMMIT is on its way. Its backend is remembered
// (RememberLost), and the next session to the same server ends it and waits
// until it is gone (FenceLost) before the caller can read anything: what
// that caller then sees is final, so a resent batch never meets a late copy
// of itself.
#pragma once

#include <libpq-fe.h>

#include <string>

namespace kestal::db::postgres {

class LinkWatch {
 public:
  // Watches conn's socket while this object lives: silent for seconds in a
  // row, it is shut down. seconds <= 0 watches nothing.
  LinkWatch(PGconn* conn, long seconds);
  ~LinkWatch();
  LinkWatch(const LinkWatch&) = delete;
  LinkWatch& operator=(const LinkWatch&) = delete;

  // Restarts the time: an answer has come.
  void Kick();
  // True when the watchdog shut the socket down.
  bool Fired() const;

 private:
  long id_ = 0;  // 0: not registered
};

// The server-side identity of conn's session, for RememberLost: the backend
// process id and its start time as the server writes it. Empty start when
// it cannot be read.
struct BackendId {
  int pid = 0;
  std::string started;
};
BackendId ReadBackendId(PGconn* conn);

// Remembers backend (of a session whose link was lost) under server, a key
// naming the server and database.
void RememberLost(const std::string& server, const BackendId& backend);

// Ends every backend remembered under server through conn and waits up to
// seconds for them to be gone. Raises kConnectionError when one is still
// there (it is tried again by the next session).
void FenceLost(PGconn* conn, const std::string& server, long seconds);

}  // namespace kestal::db::postgres
