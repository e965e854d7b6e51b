// Opens a file a client asks to download, with what its header tells the
// client: size, attributes and date. Safe to call from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/env.h"
#include "platform/io_status.h"
#include "support/file_stream.h"

namespace rk::files {

struct DownloadFile {
    // Why the file cannot be sent; the rest is then empty.
    platform::IoStatus status{};
    support::FileStream stream{};  // open for sending: others may read, not write
    std::uint64_t size = 0;
    std::uint32_t attributes = 0;
    std::int32_t dos_date = -1;  // -1 when the date cannot be read
};

// Fails when the path is refused or the file will not open.
DownloadFile open_download(platform::Env& env, const std::string& user_root,
                           std::string_view wire_path);

}  // namespace rk::files
