// Small helpers on client paths as text: backslash-separated, code-page bytes.
#pragma once

#include <string>
#include <string_view>

namespace rk::wire {

// Appends a backslash unless the text is empty or already ends with one.
std::string include_slash(std::string_view text);
// Removes a final backslash from a text longer than one character.
std::string exclude_slash(std::string_view text);
// The part after the last backslash (the whole text when it has none), at
// most 1024 bytes.
std::string file_name_part(std::string_view path);

}  // namespace rk::wire
