// Runs the server without windows until SIGINT or SIGTERM.
#pragma once

#include <string>

#include "core/server.h"
#include "platform/process.h"

namespace rk::shell {

// Opens the server, starts the service and the control socket, prints the
// listening line on stdout, waits for a stop signal and runs the exit
// sequence. Returns the exit status.
int run_headless(core::Server& server, const std::string& home, platform::StopSignals& stop_signals);

// The steps both ways of running share: opening the server with its report
// logged, and the listening line on stdout once the service listens.
void open_and_report(core::Server& server);
void announce_listening(core::Server& server);
// The end of the exit sequence: every connection closed, the listener, the
// account file saved. Returns the exit status.
int shut_down_and_report(core::Server& server);

}  // namespace rk::shell
