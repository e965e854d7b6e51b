// Names of files and folders as clients and the program compare them: ASCII
// letters match in either case, every other byte only itself (bytes outside
// ASCII belong to the client's code page and are never folded).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "platform/env.h"

namespace rk::platform {

// 'A'-'Z' as 'a'-'z'; any other byte as it is.
inline char ascii_lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Whether `a` and `b` are equal when ASCII letter case is ignored.
bool equal_ignoring_ascii_case(std::string_view a, std::string_view b);

// What find_entry_ignoring_case learnt.
struct EntryLookup {
    // Nullopt: no entry of that name in any letter case (or it could not be
    // told, see the errors).
    std::optional<DirEntry> entry;
    // lstat of the exact name; its type is none when that name was missing
    // and `entry`, if any, was found under another spelling.
    FileInfo exact;
    // The exact name could not be looked at; nothing else was tried.
    std::error_code stat_error;
    // The folder could not be listed, so no other spelling could be found.
    std::error_code list_error;
};

// The entry of `folder` that `name` names: the exact name when it exists,
// else the first entry (in byte order) equal to it ignoring ASCII letter
// case. Asks lstat about the exact name first, and lists the folder only
// when that name is missing.
EntryLookup find_entry_ignoring_case(Env& env, const std::string& folder, std::string_view name);

}  // namespace rk::platform
