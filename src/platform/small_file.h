// Small files read whole and replaced whole: the account file, the settings
// and autostart files, rkClient.ini, the files a conversion unpacks.
// Safe to call from any thread; two writers of one file must not overlap.
#pragma once

#include <cstddef>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "platform/env.h"

namespace rk::platform {

struct SmallFile {
    std::string content;
    std::error_code error;   // ENOENT when there is no file
    bool too_large = false;  // more than the cap: content is empty
};
// The whole file, read until its end, however much its size said before.
SmallFile read_small_file(Env& env, const std::string& path, std::size_t cap);

struct ReplaceOptions {
    // Where the new content is written first, in the same folder; `path` +
    // kReplacingSuffix (home_files.h) when empty.
    std::string temporary;
    // A file this call creates gets mode 0600 (account data, secrets).
    bool owner_only = true;
    // The last-write time the new file carries; the time of writing when empty.
    std::optional<std::time_t> mtime;
};

// Writes `content` to the temporary file, syncs it and renames it over
// `path`: a crash leaves either the old file whole or the new one. The
// folder is made when missing. A file or link left at the temporary name
// (by a crash) is removed first: a link there would be written through.
// Anything else there fails with EEXIST and is left alone.
std::error_code replace_file(Env& env, const std::string& path, std::string_view content,
                             const ReplaceOptions& options = {});

}  // namespace rk::platform
