#include "wire/path_text.h"

#include <algorithm>

namespace rk::wire {

std::string include_slash(std::string_view text) {
    std::string out(text);
    if (!out.empty() && out.back() != '\\') out.push_back('\\');
    return out;
}

std::string exclude_slash(std::string_view text) {
    if (text.size() > 1 && text.back() == '\\') text.remove_suffix(1);
    return std::string(text);
}

std::string file_name_part(std::string_view path) {
    const auto slash = path.rfind('\\');
    std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    return std::string(name.substr(0, std::min<std::size_t>(name.size(), 1024)));
}

}  // namespace rk::wire
