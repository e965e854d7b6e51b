#include "files/client_walk.h"

#include "platform/host_path.h"
#include "platform/names.h"
#include "platform/stat_following.h"
#include "platform/wire_path.h"

namespace rk::files {

namespace pf = rk::platform;
namespace sp = rk::support;

bool take_scan_unit(const WalkControl& control) {
    return !control.take_scan_unit || control.take_scan_unit();
}

std::optional<std::string> walk_root(pf::Env& env, const std::string& user_root,
                                     std::string_view wire_path, pf::IoStatus* why) {
    const auto refuse = [why](pf::IoStatus cause) -> std::optional<std::string> {
        if (why != nullptr) *why = std::move(cause);
        return std::nullopt;
    };
    auto path = pf::map_wire_path(env, user_root, wire_path, why);
    if (!path) return std::nullopt;
    std::error_code ec;
    const pf::FileInfo info = env.stat(*path, ec);
    if (ec) return refuse(pf::IoStatus::from_error(ec, *path));
    if (info.type == pf::EntryType::directory) return path;
    // The user's folder may be a link the operator made. A link below it is
    // listed as a file, so it is never walked as a folder either.
    if (info.type == pf::EntryType::symlink && path == pf::map_wire_path(env, user_root, "")) {
        std::string real;
        if (pf::stat_following(env, *path, ec, &real).type == pf::EntryType::directory && !ec)
            return real;
        if (ec) return refuse(pf::IoStatus::from_error(ec, *path));
    }
    using Code = pf::IoStatus::Code;
    return refuse({info.type == pf::EntryType::none ? Code::not_found : Code::not_a_folder, *path});
}

bool is_named(std::string_view path, std::string_view name) {
    return pf::equal_ignoring_ascii_case(pf::last_component(path), name);
}

void walk_client_folder(pf::Env& env, const std::string& root, const WalkControl& control,
                        const FoundItem& found) {
    sp::DirWalker walker(env);
    walker.settings.root = root;
    walker.settings.into_subdirs = true;
    walker.settings.type = sp::WalkType::both;

    // The walker can only be stopped from an enquiry, so a refusal in found()
    // takes effect at the next item met.
    bool ending = false;
    walker.callbacks.enquiry = [&](sp::ItemType type, const std::string& path, sp::WalkOp& op) {
        if (ending) {
            op = sp::WalkOp::stop;
        } else if (type == sp::ItemType::folder) {
            if (control.stop_requested && control.stop_requested()) {
                op = sp::WalkOp::stop;
            } else if (is_named(path, "RECYCLED") || is_named(path, "RECYCLER")) {
                // Windows keeps deleted files there; they are not the user's saves.
                op = sp::WalkOp::skip;
            }
        }
    };
    walker.callbacks.found = [&](sp::ItemType type, const std::string& path, std::int64_t& size,
                                 std::uint32_t dos_time, std::uint32_t attributes) {
        if (!ending && !found(type, path, size, dos_time, attributes)) ending = true;
    };
    walker.walk();
}

}  // namespace rk::files
