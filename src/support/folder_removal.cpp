#include "support/folder_removal.h"

#include "platform/host_path.h"
#include "platform/names.h"
#include "support/dir_walker.h"

namespace rk::support {


bool is_plain_entry_name(std::string_view name) {
    if (name.empty() || name == "." || name == "..") return false;
    return name.find_first_of(std::string_view("/\\:\0", 4)) == std::string_view::npos;
}

FolderRemoval remove_child_folder(platform::Env& env, const std::string& home,
                                  std::string_view name) {
    if (!is_plain_entry_name(name)) return FolderRemoval::refused;

    const std::string folder = home.empty() ? std::string(".") : home;
    const platform::EntryLookup found = platform::find_entry_ignoring_case(env, folder, name);
    if (found.stat_error || found.list_error) return FolderRemoval::unreachable;
    if (!found.entry) return FolderRemoval::absent;
    const std::string path = platform::join_path(folder, found.entry->name);
    // A link is not followed even when it points to a folder: what it points
    // to may belong to anyone.
    if (found.entry->type != platform::EntryType::directory) return FolderRemoval::not_a_folder;

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
