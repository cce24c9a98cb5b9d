// The runs of a command from a configuration file: a check of every
// section, then one run per section, on threads when the bridges are named.
//
// What the threads share, and why that is safe: the stop flag (a lock-free
// atomic, Signals.cc); stdio (each message is one fprintf, which locks the
// stream); the library's process-wide state, which is read-only after its
// first use or locked: the code page (read once from KESTAL_CODEPAGE, its
// converters per thread), the statement-log switch (an atomic; each
// Connection keeps its own log), the fault-injection hook and the engine
// registry (mutexes), PostgreSQL's catalogue cache and link watchdog
// (mutexes). Everything else (CSQLOperate and its trace, CDBFOperate, the
// claim) belongs to one bridge's Bridge object.
#include "tools/BridgeRunner.h"

#include <cstdio>
#include <exception>
#include <thread>
#include <vector>

#include "tools/Observe.h"
#include "tools/Signals.h"
#include "tools/ToolError.h"

namespace kestal::tool {
namespace {

thread_local BridgeSlot t_default{"", "kestal bridge"};
thread_local BridgeSlot* t_slot = nullptr;

// Takes "--config FILE" or "--config=FILE" out of args (options end at
// "--"); false when it is not there. Throws UsageError for a second one or
// one without its file.
bool TakeConfig(Args* args, std::string* path) {
  bool found = false;
  Args rest;
  bool options_done = false;
  for (size_t i = 0; i < args->size(); ++i) {
    const std::string& a = (*args)[i];
    if (options_done || a == "--") {
      options_done = true;
      rest.push_back(a);
      continue;
    }
    std::string value;
    if (a == "--config") {
      if (i + 1 >= args->size()) throw UsageError("option '--config' needs a value");
      value = (*args)[++i];
    } else if (a.rfind("--config=", 0) == 0) {
      value = a.substr(9);
    } else {
      rest.push_back(a);
      continue;
    }
    if (found) throw UsageError("option '--config' is given twice");
    if (value.empty()) throw UsageError("option '--config' wants a file name");
    found = true;
    *path = value;
  }
  if (found) *args = rest;
  return found;
}

bool AsksHelp(const Args& args) {
  for (const std::string& a : args) {
    if (a == "--") return false;
    if (a == "--help" || a == "-h") return true;
  }
  return false;
}

// Runs handler for section on this thread with slot as its slot; a
// UsageError then names the file and key where a value came from the file.
int RunSection(const ConfigSection& section, BridgeSlot* slot, const Args& args, Handler handler) {
  t_slot = slot;
  SetOptionSource(&section);
  try {
    const int status = handler(args);
    SetOptionSource(nullptr);
    t_slot = nullptr;
    return status;
  } catch (const UsageError& e) {
    SetOptionSource(nullptr);
    t_slot = nullptr;
    throw UsageError(section.Located(e.what()));
  } catch (...) {
    SetOptionSource(nullptr);
    t_slot = nullptr;
    throw;
  }
}

// One named bridge on its own thread: its failure is told under its label
// and ends only it.
void RunThread(const ConfigSection& section, BridgeSlot* slot, const Args& args, Handler handler,
               int* status) {
  try {
    *status = RunSection(section, slot, args, handler);
  } catch (const UsageError& e) {
    fprintf(stderr, "%s: %s\n", slot->label.c_str(), e.what());
    *status = kExitUsage;
  } catch (const ClaimError& e) {
    fprintf(stderr, "%s: %s\n", slot->label.c_str(), e.what());
    *status = kExitClaimed;
  } catch (const std::exception& e) {
    fprintf(stderr, "%s: %s\n", slot->label.c_str(), e.what());
    *status = kExitError;
  } catch (...) {
    fprintf(stderr, "%s: failed for an unknown reason\n", slot->label.c_str());
    *status = kExitError;
  }
  if (*status != kExitOk && !StopRequested()) {
    fprintf(stderr, "%s: stopped for good; the other bridges go on\n", slot->label.c_str());
  }
}

}  // namespace

BridgeSlot& ThisBridge() {
  return t_slot != nullptr ? *t_slot : t_default;
}

const ConfigShape& BridgeConfigShape() {
  static const ConfigShape shape{
      "kestal bridge", {"file", "connect", "table"}, "connect", "bridge"};
  return shape;
}

const ConfigShape& FollowConfigShape() {
  static const ConfigShape shape{"kestal sql follow", {"connect", "table"}, "connect", nullptr};
  return shape;
}

bool RunConfigured(const ConfigShape& shape, const Args& given, Handler handler, int* status) {
  Args args = given;
  std::string path;
  if (!TakeConfig(&args, &path)) return false;
  if (AsksHelp(args)) {
    *status = handler(args);
    return true;
  }
  const std::vector<ConfigSection> sections = LoadConfig(path, shape);
  if (sections.size() == 1 && sections[0].name().empty()) {
    BridgeSlot slot{"", shape.command};
    *status = RunSection(sections[0], &slot, args, handler);
    return true;
  }
  // Every bridge's options first: a slip anywhere starts nothing.
  std::vector<BridgeSlot> slots;
  for (const ConfigSection& s : sections) {
    slots.push_back(BridgeSlot{s.name(), std::string(shape.command) + " " + s.name(), true, true});
  }
  for (size_t i = 0; i < sections.size(); ++i) RunSection(sections[i], &slots[i], args, handler);
  // READY=1 waits for every run to open.
  Observer::ExpectRuns(static_cast<int>(sections.size()));
  // Before the threads start, so that a signal never meets the default action.
  InstallStopHandlers();
  std::vector<int> results(sections.size(), kExitOk);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < sections.size(); ++i) {
    slots[i].validate_only = false;
    threads.emplace_back(RunThread, std::cref(sections[i]), &slots[i], std::cref(args), handler,
                         &results[i]);
  }
  for (std::thread& t : threads) t.join();
  *status = kExitOk;
  std::string failed;
  for (size_t i = 0; i < sections.size(); ++i) {
    if (results[i] == kExitOk) continue;
    if (*status == kExitOk) *status = results[i];
    failed += (failed.empty() ? "" : ", ") + sections[i].name();
  }
  if (!failed.empty()) {
    fprintf(stderr, "%s: the bridges that failed for good: %s\n", shape.command, failed.c_str());
  }
  return true;
}

}  // namespace kestal::tool
