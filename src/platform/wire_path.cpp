#include "platform/wire_path.h"

#include <optional>
#include <vector>

#include "platform/host_path.h"
#include "platform/names.h"

namespace rk::platform {
namespace {

bool is_separator(char c) { return c == '\\' || c == '/'; }

// The components to walk, or nullopt when one of them is refused outright.
std::optional<std::vector<std::string_view>> split(std::string_view wire_path) {
    if (wire_path.find('\0') != std::string_view::npos) return std::nullopt;
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    while (start <= wire_path.size()) {
        std::size_t end = start;
        while (end < wire_path.size() && !is_separator(wire_path[end])) ++end;
        std::string_view part = wire_path.substr(start, end - start);
        if (part == "..") return std::nullopt;
        if (part.find(':') != std::string_view::npos) return std::nullopt;
        if (!part.empty() && part != ".") parts.push_back(part);
        start = end + 1;
    }
    return parts;
}

// Whole components count: "/data/alice2" is not inside "/data/alice".
bool is_inside(const std::string& path, const std::string& folder) {
    if (folder == "/") return !path.empty() && path.front() == '/';
    return path == folder ||
           (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
            path[folder.size()] == '/');
}

struct Lookup {
    enum class Outcome { found, missing, unknown } outcome = Outcome::missing;
    std::string name;
    EntryType type = EntryType::none;
    std::error_code error;  // for unknown
};

// The entry of `folder` that `part` names, exactly or else ignoring case.
Lookup look_up(Env& env, const std::string& folder, std::string_view part) {
    EntryLookup lookup = find_entry_ignoring_case(env, folder, part);
    // Not knowing whether it is a link, walking on blind is not safe.
    if (lookup.stat_error)
        return {Lookup::Outcome::unknown, {}, EntryType::none, lookup.stat_error};
    // An unreadable folder simply offers no other spelling.
    if (!lookup.entry) return {};
    return {Lookup::Outcome::found, std::move(lookup.entry->name), lookup.entry->type, {}};
}

}  // namespace

std::optional<std::string> map_wire_path(Env& env, const std::string& root,
                                         std::string_view wire_path, IoStatus* why) {
    const auto refuse = [why](IoStatus cause) -> std::optional<std::string> {
        if (why != nullptr) *why = std::move(cause);
        return std::nullopt;
    };
    auto parts = split(wire_path);
    if (!parts) return refuse({IoStatus::Code::refused_path, std::string(wire_path)});

    std::string path = without_trailing_slashes(root);
    if (parts->empty()) return path;

    std::error_code ec;
    // Nothing lies below a root that is not there. Where the root really
    // is matters only once a link is met.
    const EntryType root_type = env.stat(root, ec).type;
    if (!ec && root_type == EntryType::none)
        ec = std::make_error_code(std::errc::no_such_file_or_directory);
    if (ec) return refuse(IoStatus::from_error(ec, root));
    std::optional<std::string> real_root;

    bool exists = true;
    for (std::string_view part : *parts) {
        Lookup found;
        if (exists) found = look_up(env, path, part);
        switch (found.outcome) {
            case Lookup::Outcome::unknown:
                return refuse(IoStatus::from_error(found.error, join_path(path, part)));
            case Lookup::Outcome::missing:
                // Nothing below a missing folder exists either.
                exists = false;
                path = join_path(path, part);
                break;
            case Lookup::Outcome::found:
                path = join_path(path, found.name);
                if (found.type == EntryType::symlink) {
                    // A dangling link is refused too: creating through it
                    // would make its target, wherever that is.
                    std::string target = env.real_path(path, ec);
                    if (ec) return refuse(IoStatus::from_error(ec, path));
                    if (!real_root) {
                        real_root = env.real_path(root, ec);
                        if (ec) return refuse(IoStatus::from_error(ec, root));
                    }
                    if (!is_inside(target, *real_root))
                        return refuse({IoStatus::Code::refused_path, path});
                }
                break;
        }
    }
    return path;
}

}  // namespace rk::platform
