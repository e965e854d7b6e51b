// What a path leads to when symbolic links are followed, as opening it would
// find it: the one way above src/platform to look through a link.
// Safe to call from any thread.
#pragma once

#include <string>
#include <system_error>

#include "platform/env.h"

namespace rk::platform {

// lstat of `path`; for a symbolic link, lstat of real_path(path) instead, so
// the type is never symlink. A dangling link or a loop is an error (real_path
// fails). `target`, when given, is set to the path the answer is about.
// Whether the target may be reached is the caller's to decide (see
// map_wire_path).
FileInfo stat_following(Env& env, const std::string& path, std::error_code& ec,
                        std::string* target = nullptr);

}  // namespace rk::platform
