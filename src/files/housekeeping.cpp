#include "files/housekeeping.h"

#include "platform/folders.h"
#include "platform/wire_path.h"

namespace rk::files {

namespace pf = rk::platform;

namespace {

// The host path of a client path below the user's folder; nullopt when it
// is refused or names the user's folder itself.
std::optional<std::string> below_user_root(pf::Env& env, const std::string& user_root,
                                           std::string_view wire_path) {
    auto path = pf::map_wire_path(env, user_root, wire_path);
    if (!path || *path == pf::map_wire_path(env, user_root, "")) return std::nullopt;
    return path;
}

}  // namespace

bool delete_file(pf::Env& env, const std::string& user_root, std::string_view wire_path) {
    const auto path = below_user_root(env, user_root, wire_path);
    if (!path) return false;
    std::error_code ec;
    const auto type = env.stat(*path, ec).type;
    if (type != pf::EntryType::file && type != pf::EntryType::symlink) return false;
    // A read-only file is deleted all the same, as the client expects; a
    // link goes as a link, its target keeps its attributes.
    if (type == pf::EntryType::file) (void)env.set_attributes(*path, pf::attr::kArchive);
    return !env.remove_file(*path);
}

bool remove_folder(pf::Env& env, const std::string& user_root, std::string_view wire_path) {
    const auto path = below_user_root(env, user_root, wire_path);
    return path && !env.remove_dir(*path);
}

bool create_folder(pf::Env& env, const std::string& user_root, std::string_view wire_path) {
    // The user's own folder comes into being with the first folder made in it.
    if (pf::make_folders(env, user_root)) return false;
    const auto path = pf::map_wire_path(env, user_root, wire_path);
    return path && !pf::make_folders(env, *path);
}

}  // namespace rk::files
