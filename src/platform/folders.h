// Folders made on demand. Safe to call from any thread.
#pragma once

#include <string>
#include <system_error>

#include "platform/env.h"

namespace rk::platform {

// Creates `folder` and every missing folder above it; a link to a folder
// counts as one.
std::error_code make_folders(Env& env, const std::string& folder);

}  // namespace rk::platform
