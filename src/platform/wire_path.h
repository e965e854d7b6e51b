// Turns a path a client sent (bytes, '\' or '/' separated, relative to the
// user's storage folder) into a host path that stays inside that folder.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/env.h"
#include "platform/io_status.h"

namespace rk::platform {

// The host path under `root` for `wire_path`, or nullopt when the path is
// refused: a ".." component, a NUL byte, a ':' (drive letters, streams), or
// an existing symbolic link that resolves outside real_path(root) or nowhere.
//
// Empty and "." components are skipped, so "", "\" and "\." give `root`.
// A component missing under its exact name takes the name of the first entry
// (in byte order) equal to it when ASCII letter case is ignored; once one has
// no such entry, it and every later component are kept as sent, for a file or
// folder about to be created. No other byte is ever changed.
//
// Checks what exists now; a link swapped in afterwards by a local user is not
// caught. When the path is refused and `why` is given, it is told the cause:
// refused_path for the path itself, or the OS error that kept it from being
// checked.
std::optional<std::string> map_wire_path(Env& env, const std::string& root,
                                         std::string_view wire_path, IoStatus* why = nullptr);

}  // namespace rk::platform
