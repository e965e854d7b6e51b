// Runs the server without windows until SIGINT or SIGTERM.
#pragma once

#include "core/server.h"
#include "platform/process.h"

namespace rk::shell {

// Opens the server, starts the service, prints the listening line on stdout,
// waits for a stop signal and runs the exit sequence. Returns the exit status.
int run_headless(core::Server& server, platform::StopSignals& signals);

}  // namespace rk::shell
