#include "sql/db/FaultInjection.h"

#include <atomic>
#include <memory>
#include <mutex>

namespace kestal::db {
namespace {

// The flag keeps the common path (no hook) free of the mutex; the mutex
// guards the hook object itself.
std::atomic<bool> g_hook_set{false};
std::mutex g_hook_mutex;
std::shared_ptr<FaultHook> g_hook;

}  // namespace

void SetFaultHook(FaultHook hook) {
  std::lock_guard<std::mutex> lock(g_hook_mutex);
  if (hook) {
    g_hook = std::make_shared<FaultHook>(std::move(hook));
  } else {
    g_hook.reset();
  }
  g_hook_set.store(g_hook != nullptr, std::memory_order_release);
}

bool FaultHookSet() {
  return g_hook_set.load(std::memory_order_acquire);
}

void CheckFault(FaultPoint point, const CString& text) {
  if (!g_hook_set.load(std::memory_order_acquire)) return;
  std::shared_ptr<FaultHook> hook;
  {
    std::lock_guard<std::mutex> lock(g_hook_mutex);
    hook = g_hook;
  }
  // Called outside the lock: the hook may itself install another hook.
  if (hook) (*hook)(point, text);
}

}  // namespace kestal::db
