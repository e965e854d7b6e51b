// The date a file carries for the client: its last write, read the way the
// file's bytes are read. Safe to call from any thread.
#pragma once

#include <ctime>
#include <optional>
#include <string>

#include "platform/env.h"

namespace rk::files {

// The last-write time of the regular file at a mapped host path, a symbolic
// link followed (the mapping lets through only links that stay inside the
// user's folder, and opening follows them too); nullopt for anything else.
std::optional<std::time_t> last_write(platform::Env& env, const std::string& path);

}  // namespace rk::files
