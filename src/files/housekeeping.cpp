#include "files/housekeeping.h"

#include "platform/folders.h"
#include "platform/wire_path.h"

namespace rk::files {

namespace pf = rk::platform;
using Code = pf::IoStatus::Code;

namespace {

// The host path of a client path below the user's folder; nullopt, and
// `why` told the cause, when it is refused or names the user's folder itself.
std::optional<std::string> below_user_root(pf::Env& env, const std::string& user_root,
                                           std::string_view wire_path, pf::IoStatus& why) {
    auto path = pf::map_wire_path(env, user_root, wire_path, &why);
    if (path && *path == pf::map_wire_path(env, user_root, "")) {
        why = {Code::refused_path, *path};
        return std::nullopt;
    }
    return path;
}

}  // namespace

pf::IoStatus delete_file(pf::Env& env, const std::string& user_root, std::string_view wire_path) {
    pf::IoStatus why;
    const auto path = below_user_root(env, user_root, wire_path, why);
    if (!path) return why;
    std::error_code ec;
    const auto type = env.stat(*path, ec).type;
    if (ec) return pf::IoStatus::from_error(ec, *path);
    switch (type) {
        case pf::EntryType::none:
            return {Code::not_found, *path};
        case pf::EntryType::directory:
            return {Code::is_a_folder, *path};
        case pf::EntryType::other:
            return {Code::refused_path, *path};
        case pf::EntryType::file:
            // A read-only file is deleted all the same, as the client
            // expects; a link goes as a link, its target keeps its
            // attributes.
            (void)env.set_attributes(*path, pf::attr::kArchive);
            break;
        case pf::EntryType::symlink:
            break;
    }
    return pf::IoStatus::from_error(env.remove_file(*path), *path);
}

pf::IoStatus remove_folder(pf::Env& env, const std::string& user_root, std::string_view wire_path) {
    pf::IoStatus why;
    const auto path = below_user_root(env, user_root, wire_path, why);
    if (!path) return why;
    return pf::IoStatus::from_error(env.remove_dir(*path), *path);
}

pf::IoStatus create_folder(pf::Env& env, const std::string& user_root, std::string_view wire_path) {
    // The user's own folder comes into being with the first folder made in it.
    if (const auto ec = pf::make_folders(env, user_root))
        return pf::IoStatus::from_error(ec, user_root);
    pf::IoStatus why;
    const auto path = pf::map_wire_path(env, user_root, wire_path, &why);
    if (!path) return why;
    return pf::IoStatus::from_error(pf::make_folders(env, *path), *path);
}

}  // namespace rk::files
