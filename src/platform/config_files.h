// Where the user's own configuration lives ($XDG_CONFIG_HOME, else
// $HOME/.config) and how the small files kept there are read and replaced.
// Safe to call from any thread; two writers of one file must not overlap.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "platform/env.h"

namespace rk::platform {

// The configuration folder from the two variables' values: XDG_CONFIG_HOME
// when it is an absolute path, else HOME/.config, else none.
std::optional<std::string> config_home_from(const std::optional<std::string>& xdg_config_home,
                                            const std::optional<std::string>& home);
std::optional<std::string> config_home(Env& env);

struct SmallFile {
    std::string content;
    std::error_code error;   // ENOENT when there is no file
    bool too_large = false;  // more than the cap: content is empty
};
SmallFile read_small_file(Env& env, const std::string& path, std::size_t cap);

// Creates `folder` and every missing folder above it; a link to a folder
// counts as one.
std::error_code make_folders(Env& env, const std::string& folder);

// Writes a temporary file beside `path`, syncs it and renames it over
// `path`: a crash leaves either the old file whole or the new one. The
// folder is made when missing.
std::error_code replace_file(Env& env, const std::string& path, std::string_view content);

}  // namespace rk::platform
