// Host paths taken apart and put together: '/'-separated bytes, worked on as
// text alone (nothing is looked up on disk).
#pragma once

#include <string>
#include <string_view>

namespace rk::platform {

// `folder` + '/' + `name`; no separator is added when `folder` already ends
// with one, and an empty `folder` gives "/" + `name`.
std::string join_path(const std::string& folder, std::string_view name);

// `path` without the '/' it ends with, however many; "/" stays "/".
std::string without_trailing_slashes(std::string path);

// The folder that holds `path`: "/" for "/name", "." for a bare name.
std::string parent_folder(std::string_view path);

// The last component: "c" for "/a/b/c", the whole path when it has no '/'.
std::string_view last_component(std::string_view path);

}  // namespace rk::platform
