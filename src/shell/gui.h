// Runs the server with windows: the tray icon and the operator window on a
// desktop, until the operator exits or SIGINT / SIGTERM arrives.
#pragma once

#include <string>

#include "core/server.h"
#include "platform/process.h"

namespace rk::shell {

// Whether this process can show windows: not asked to run without them,
// and either a Qt platform chosen by hand (QT_QPA_PLATFORM) or an X display
// that answers.
bool windows_possible(bool headless_asked);

// Opens the server, chooses the language, builds the windows, starts the
// service and the control socket and runs the event loop; then runs the
// exit sequence. Returns the exit status.
int run_gui(core::Server& server, const std::string& home, platform::StopSignals& stop_signals, int argc,
            char** argv);

}  // namespace rk::shell
