// Opens a file a client asks to download, with what its header tells the
// client: size, attributes and date. Safe to call from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/env.h"
#include "support/file_stream.h"

namespace rk::files {

struct DownloadFile {
    support::FileStream stream;  // open for sending: others may read, not write
    std::uint64_t size = 0;
    std::uint32_t attributes = 0;
    std::int32_t dos_date = -1;  // -1 when the date cannot be read
};

// nullopt when the path is refused or the file will not open.
std::optional<DownloadFile> open_download(platform::Env& env, const std::string& user_root,
                                          std::string_view wire_path);

}  // namespace rk::files
