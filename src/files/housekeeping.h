// The small storage requests of a logged-on client: delete a file, remove an
// empty folder, create a folder with its parents. Each takes the user's
// storage folder and the path as the client sent it, and never touches
// anything outside that folder. Safe to call from any thread.
#pragma once

#include <string>
#include <string_view>

#include "platform/env.h"
#include "platform/io_status.h"

namespace rk::files {

// Each returns why it failed, or ok.

// Clears read-only, hidden and system, then deletes. Fails when the path is
// refused, names the user's folder itself or no file, or the delete fails.
platform::IoStatus delete_file(platform::Env& env, const std::string& user_root,
                             std::string_view wire_path);

// Removes an empty folder.
platform::IoStatus remove_folder(platform::Env& env, const std::string& user_root,
                               std::string_view wire_path);

// Creates the folder and every missing parent, the user's folder included.
platform::IoStatus create_folder(platform::Env& env, const std::string& user_root,
                               std::string_view wire_path);

}  // namespace rk::files
