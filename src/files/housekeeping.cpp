#include "files/housekeeping.h"

#include "platform/wire_path.h"

namespace rk::files {

namespace pf = rk::platform;

bool delete_file(pf::Env& env, const std::string& user_root, std::string_view wire_path) {
    const auto path = pf::map_wire_path(env, user_root, wire_path);
    if (!path || *path == pf::map_wire_path(env, user_root, "")) return false;
    std::error_code ec;
    if (env.stat(*path, ec).type == pf::EntryType::none) return false;
    // A read-only file is deleted all the same, as the client expects.
    (void)env.set_attributes(*path, pf::attr::kArchive);
    return !env.remove_file(*path);
}

bool remove_folder(pf::Env& env, const std::string& user_root, std::string_view wire_path) {
    const auto path = pf::map_wire_path(env, user_root, wire_path);
    return path && !env.remove_dir(*path);
}

bool create_folder(pf::Env& env, const std::string& user_root, std::string_view wire_path) {
    // The user's own folder comes into being with the first folder made in it.
    if (!make_dirs(env, user_root)) return false;
    const auto path = pf::map_wire_path(env, user_root, wire_path);
    return path && make_dirs(env, *path);
}

bool make_dirs(pf::Env& env, const std::string& path) {
    std::error_code ec;
    for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string prefix = path.substr(0, slash);
        if (!prefix.empty()) {
            const pf::FileInfo info = env.stat(prefix, ec);
            if (ec) return false;
            if (info.type == pf::EntryType::none) {
                if (env.make_dir(prefix)) return false;
            } else if (info.type != pf::EntryType::directory &&
                       !(info.type == pf::EntryType::symlink && slash != std::string::npos)) {
                return false;
            }
        }
        if (slash == std::string::npos) return true;
    }
}

}  // namespace rk::files
