// A depth-first walk over a folder of a client's storage, steered the way
// listing and tree delete need it: where it starts, which folders it leaves
// alone, and how the engine stops or paces it from outside. Runs on the
// calling thread (a pool thread); touches nothing global.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/env.h"
#include "platform/io_status.h"
#include "support/dir_walker.h"

namespace rk::files {

// How the engine steers a long walk. Either may be left empty.
struct WalkControl {
    // Asked each time the walk meets a folder; true ends the walk there.
    std::function<bool()> stop_requested;
    // Called once per listed file or deleted item and may block until the
    // scan budget allows one more; false ends the walk.
    std::function<bool()> take_scan_unit;
};

// Takes one unit of the scan budget; true when the walk may go on.
bool take_scan_unit(const WalkControl& control);

// The host folder a walk of `wire_path` starts from; nullopt when the path is
// refused or names no existing folder, and then `why`, when given, is told
// which.
std::optional<std::string> walk_root(platform::Env& env, const std::string& user_root,
                                     std::string_view wire_path,
                                     platform::IoStatus* why = nullptr);

// Whether the last component of a host path is `name`, ASCII case ignored.
bool is_named(std::string_view path, std::string_view name);

// Gets each item below the root, a folder after its contents, with the
// walker's size, DOS date and attributes. Returns false to end the walk:
// nothing more is reported after that.
using FoundItem =
    std::function<bool(support::ItemType type, const std::string& path, std::int64_t size,
                       std::uint32_t dos_time, std::uint32_t attributes)>;

// Walks everything below `root`, never following links and leaving folders
// named RECYCLED or RECYCLER (any case) unentered and unreported.
void walk_client_folder(platform::Env& env, const std::string& root, const WalkControl& control,
                        const FoundItem& found);

}  // namespace rk::files
