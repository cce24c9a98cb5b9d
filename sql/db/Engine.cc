#include "sql/db/Engine.h"

#include <strings.h>

#include <mutex>

#include "sql/db/ComError.h"

namespace kestal::db {
namespace {

struct Registry {
  std::mutex mutex;
  std::vector<std::pair<std::string, EngineFactory>> engines;
};

// Function-local, so that engines registering from static initialisers in
// other files find it constructed.
Registry& TheRegistry() {
  static Registry registry;
  return registry;
}

}  // namespace

bool RegisterEngine(const std::string& provider, EngineFactory factory) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.engines.emplace_back(provider, std::move(factory));
  return true;
}

std::unique_ptr<EngineSession> OpenEngine(const ConnectionString& connection,
                                          long timeout_seconds) {
  const std::string provider = connection.Get("Provider");
  EngineFactory factory;
  {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> lock(r.mutex);
    for (const auto& e : r.engines) {
      if (strcasecmp(e.first.c_str(), provider.c_str()) == 0) factory = e.second;
    }
  }
  if (!factory) {
    throw _com_error(kConnectionError,
                     CString(provider.empty() ? std::string("no Provider in connection string")
                                              : "unknown provider '" + provider + "'"));
  }
  return factory(connection, timeout_seconds);
}

}  // namespace kestal::db
