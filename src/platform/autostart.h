// Starting the server when the user logs in to the desktop: one entry,
// $XDG_CONFIG_HOME/autostart/rkserver.desktop, whose Exec line is the
// program's full path in double quotes. The entry counts as ours only when
// that line names exactly the program asked about; one written for another
// copy of the program leaves it off until enable() rewrites it.
// REQUIRES: external synchronization; used from the main thread.
#pragma once

#include <string>
#include <string_view>
#include <system_error>

#include "platform/env.h"

namespace rk::platform {

inline constexpr std::string_view kAutostartFileName = "rkserver.desktop";

// The Exec value for a program path as the entry file holds it: the path in
// double quotes, '"', '`', '$' and '\' escaped inside them, '%' doubled,
// then a backslash, LF, CR and tab escaped as every string of the file is.
std::string desktop_exec_value(std::string_view exec_path);
// The whole entry file for the program.
std::string desktop_entry(std::string_view exec_path);

class Autostart {
public:
    // The entry in config_home(env)/autostart; none when no such folder can
    // be named (then it is never enabled and enable() fails).
    explicit Autostart(Env& env);
    // The entry in `folder`, for tests.
    Autostart(Env& env, const std::string& folder);

    // Empty when there is no folder to keep the entry in.
    const std::string& path() const { return path_; }

    // The entry exists, its [Desktop Entry] Exec equals
    // desktop_exec_value(exec_path) byte for byte, and it is not hidden or
    // switched off by the desktop (Hidden=true,
    // X-GNOME-Autostart-enabled=false).
    bool is_enabled(std::string_view exec_path) const;
    // Writes the entry for `exec_path` (an absolute path) atomically,
    // replacing whatever entry was there.
    std::error_code enable(std::string_view exec_path) const;
    // Removes the entry file and nothing else; no entry is no error.
    std::error_code disable() const;

private:
    Env& env_;
    std::string path_;
};

}  // namespace rk::platform
