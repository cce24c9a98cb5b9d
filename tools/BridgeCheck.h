// "kestal bridge --check": the bridge's plan without copying anything.
#pragma once

#include "tools/Bridge.h"

namespace kestal::tool {

// Opens both sides of the bridge config describes (Bridge::Inspect), prints
// the plan on stdout and returns 0 when the bridge would run; prints the
// reason on stderr and returns 1 when it would not, whatever the reason
// (missing file or table, bad field map, another bridge on the table).
int RunBridgeCheck(const BridgeConfig& config);

}  // namespace kestal::tool
