// The listing a client gets for a folder of its storage: every file below it
// with size, attributes and date, then every subfolder with its total, in the
// byte layout the client parses. Runs on a pool thread; touches nothing
// global.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "files/client_walk.h"
#include "platform/env.h"
#include "platform/io_status.h"

namespace rk::files {

struct Listing {
    std::vector<std::uint8_t> bytes;  // empty when nothing at all was found
    std::int32_t file_count = 0;
    // Why there is no listing: the path is refused or names no folder; the
    // client is then told -1 files and 0 bytes.
    platform::IoStatus status;
    bool exists() const { return status.ok(); }
};

// Walks the folder `wire_path` names below `user_root`. Slot date records
// (DOCDATE.SYN) and RECYCLED / RECYCLER folders are left out. A stop keeps
// what was gathered so far, and the folder still counts as existing.
Listing build_listing(platform::Env& env, const std::string& user_root, std::string_view wire_path,
                      const WalkControl& control);

}  // namespace rk::files
