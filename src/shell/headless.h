// Runs the server without windows until SIGINT or SIGTERM.
#pragma once

#include <string>

#include "core/server.h"
#include "platform/process.h"

namespace rk::shell {

// Opens the server, starts the service and the control socket, prints the
// listening line on stdout, waits for a stop signal and runs the exit
// sequence. Returns the exit status.
int run_headless(core::Server& server, const std::string& home, platform::StopSignals& signals);

}  // namespace rk::shell
