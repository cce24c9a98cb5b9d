// Clean stops for long-running commands: SIGINT and SIGTERM set a flag that
// the command's loop checks, instead of killing the process mid-output.
#pragma once

namespace kestal::tool {

// Installs the handlers (without SA_RESTART, so that a sleep ends early).
void InstallStopHandlers();
// True once SIGINT or SIGTERM has arrived.
bool StopRequested();
// Sleeps ms milliseconds, or less when a stop is requested.
void SleepUnlessStopped(int ms);

}  // namespace kestal::tool
