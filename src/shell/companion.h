// A companion program that announced its process id to the running server
// (`rkserver ctl companion PID` through the owner-only control socket). It
// is ended when the operator's exit from the tray is confirmed, never
// before: a cancelled exit leaves it running.
// Safe for concurrent use: announced on the control thread, ended on the
// GUI thread.
#pragma once

#include <mutex>
#include <optional>

#include "platform/process.h"

namespace rk::shell {

class Companion {
public:
    // Remembers the process now holding `pid`; 0 forgets the companion.
    // False, with the companion known before kept, when no such process
    // exists.
    bool announce(int pid);
    bool announced() const;
    // Asks the companion to end (SIGTERM) and forgets it.
    void end();

private:
    mutable std::mutex mutex_;
    std::optional<platform::ProcessHandle> process_;
};

}  // namespace rk::shell
