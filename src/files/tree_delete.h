// Deletes everything below a folder of a client's storage, the folder itself
// kept. Runs on a pool thread; touches nothing global.
#pragma once

#include <string>
#include <string_view>

#include "files/client_walk.h"
#include "platform/env.h"
#include "platform/io_status.h"

namespace rk::files {

// Files and folders below the folder `wire_path` names, innermost first. A
// symbolic link is removed as a link; RECYCLED / RECYCLER folders stay with
// their contents; an item that cannot be removed is passed over. Fails, and
// nothing happens, when the path is refused or names no folder.
platform::IoStatus delete_tree(platform::Env& env, const std::string& user_root, std::string_view wire_path,
                 const WalkControl& control);

}  // namespace rk::files
