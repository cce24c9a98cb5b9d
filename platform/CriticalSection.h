// CCriticalSection: a lock shared by the threads of one process. Recursive:
// the owning thread may take it again and must release it as often.
#pragma once

#include <mutex>

class CCriticalSection {
 public:
  CCriticalSection() = default;
  CCriticalSection(const CCriticalSection&) = delete;
  CCriticalSection& operator=(const CCriticalSection&) = delete;

  // Waits for the lock; returns 1.
  int Lock() {
    m_mutex.lock();
    return 1;
  }
  // Releases one hold of the lock; returns 1.
  int Unlock() {
    m_mutex.unlock();
    return 1;
  }

 private:
  std::recursive_mutex m_mutex;
};
