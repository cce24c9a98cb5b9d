// Handlers of the kestal commands, one file per command group. Each takes the
// arguments after its name and returns the exit status (see ToolError.h).
#pragma once

#include <string>
#include <vector>

namespace kestal::tool {

using Args = std::vector<std::string>;

// "kestal dbf ..." and its subcommands.
int RunDbfGroup(const Args& args);
int RunDbfInfo(const Args& args);
int RunDbfCat(const Args& args);
int RunDbfFollow(const Args& args);
int RunDbfAppend(const Args& args);
int RunDbfCreate(const Args& args);

// "kestal sql ..." and its subcommands.
int RunSqlGroup(const Args& args);
int RunSqlInfo(const Args& args);
int RunSqlFollow(const Args& args);
int RunSqlExec(const Args& args);
int RunSqlCheck(const Args& args);

// "kestal bridge".
int RunBridge(const Args& args);

// "kestal demo".
int RunDemo(const Args& args);

}  // namespace kestal::tool
