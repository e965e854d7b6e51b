#include "support/folder_removal.h"

#include <algorithm>

#include "support/dir_walker.h"

namespace rk::support {
namespace {

char fold(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool equal_ignoring_ascii_case(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return fold(x) == fold(y); });
}

std::string join(const std::string& folder, std::string_view name) {
    std::string path = folder.empty() ? std::string(".") : folder;
    if (path.back() != '/') path += '/';
    path += name;
    return path;
}

}  // namespace

bool is_plain_entry_name(std::string_view name) {
    if (name.empty() || name == "." || name == "..") return false;
    return name.find_first_of(std::string_view("/\\:\0", 4)) == std::string_view::npos;
}

FolderRemoval remove_child_folder(platform::Env& env, const std::string& home,
                                  std::string_view name) {
    if (!is_plain_entry_name(name)) return FolderRemoval::refused;

    std::error_code ec;
    std::string path = join(home, name);
    platform::FileInfo info = env.stat(path, ec);
    if (ec) return FolderRemoval::unreachable;
    if (info.type == platform::EntryType::none) {
        const std::vector<platform::DirEntry> entries = env.list(home.empty() ? "." : home, ec);
        if (ec) return FolderRemoval::unreachable;
        const auto match = std::find_if(entries.begin(), entries.end(), [&](const auto& entry) {
            return equal_ignoring_ascii_case(entry.name, name);
        });
        if (match == entries.end()) return FolderRemoval::absent;
        path = join(home, match->name);
        info.type = match->type;
    }
    // A link is not followed even when it points to a folder: what it points
    // to may belong to anyone.
    if (info.type != platform::EntryType::directory) return FolderRemoval::not_a_folder;

    bool left_behind = false;
    DirWalker walker(env);
    walker.settings.root = path;
    walker.settings.into_subdirs = true;
    walker.settings.progress_interval = 0;
    // The walker reports a link as a file and a folder after its content, so
    // unlinking in this order empties every folder before it is removed.
    walker.callbacks.found = [&](ItemType type, const std::string& item, std::int64_t&,
                                 std::uint32_t, std::uint32_t attributes) {
        // A read-only file stays, as it would on Windows; Linux would unlink
        // it regardless of its mode.
        if (type == ItemType::file && (attributes & platform::attr::kReadOnly) != 0) {
            left_behind = true;
            return;
        }
        const std::error_code failed =
            type == ItemType::folder ? env.remove_dir(item) : env.remove_file(item);
        if (failed) left_behind = true;
    };
    walker.walk();
    if (env.remove_dir(path)) left_behind = true;
    return left_behind ? FolderRemoval::incomplete : FolderRemoval::removed;
}

}  // namespace rk::support
