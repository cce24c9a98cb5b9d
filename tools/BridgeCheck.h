// "kestal bridge --check": the bridge's plan without copying anything.
#pragma once

#include <string>

#include "tools/Bridge.h"

namespace kestal::tool {

// Opens both sides of the bridge config describes (Bridge::Inspect), prints
// the plan on stdout and returns 0 when the bridge would run; prints the
// reason on stderr and returns 1 when it would not, whatever the reason
// (missing file or table, bad field map, another bridge on the table).
// name is the bridge's name in a configuration file ("" on the command
// line), label the prefix of its messages ("kestal bridge NAME"). The plan
// goes out in one write, so the plans of bridges checked side by side do
// not mix.
int RunBridgeCheck(const BridgeConfig& config, const std::string& name, const std::string& label);

}  // namespace kestal::tool
