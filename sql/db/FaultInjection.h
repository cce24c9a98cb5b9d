// Fault injection at the connection seam, for tests. A process-wide hook sees
// every connection string handed to Connection::Open and every statement text
// handed to Execute or Recordset::Open (as the library wrote it, before any
// rewriting), just before it goes to the engine. The hook may throw
// _com_error to simulate a failure there (a refused connection, a link lost in
// mid-call, or in the middle of a batch). With no hook set, the cost is one
// atomic load.
#pragma once

#include <functional>

#include "platform/String.h"

namespace kestal::db {

enum class FaultPoint {
  kOpen,            // Connection::Open, with the connection string
  kStatement,       // Execute / Recordset::Open, with the whole command text
  kBatchStatement,  // each statement of a command text, just before the engine
                    // runs it (statements before it have run); ASCII
                    // descriptions only, the engine path reads them as UTF-8
};

using FaultHook = std::function<void(FaultPoint point, const CString& text)>;

// Installs hook for the whole process (an empty function removes it).
void SetFaultHook(FaultHook hook);
// Calls the hook, if any; lets its _com_error through.
void CheckFault(FaultPoint point, const CString& text);
// True while a hook is installed: a caller may then skip making the text
// it would hand to CheckFault.
bool FaultHookSet();

// Installs a hook for the lifetime of a scope, then removes it.
class ScopedFaultHook {
 public:
  explicit ScopedFaultHook(FaultHook hook) { SetFaultHook(std::move(hook)); }
  ~ScopedFaultHook() { SetFaultHook(FaultHook()); }
  ScopedFaultHook(const ScopedFaultHook&) = delete;
  ScopedFaultHook& operator=(const ScopedFaultHook&) = delete;
};

}  // namespace kestal::db
