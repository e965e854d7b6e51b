#include "files/tree_delete.h"

namespace rk::files {

namespace pf = rk::platform;
namespace sp = rk::support;

pf::IoStatus delete_tree(pf::Env& env, const std::string& user_root, std::string_view wire_path,
                         const WalkControl& control) {
    pf::IoStatus why;
    const auto root = walk_root(env, user_root, wire_path, &why);
    if (!root) return why;
    const auto remove_item = [&](sp::ItemType type, const std::string& path, std::int64_t,
                                 std::uint32_t, std::uint32_t attributes) {
        // A tree delete never overrides a protection the way a single delete
        // does: a read-only file stays, as Windows clients know it, and a
        // folder still holding something simply stays too. (Linux itself
        // would unlink it, so the attribute is checked here.)
        if (type == sp::ItemType::folder) {
            (void)env.remove_dir(path);
        } else if ((attributes & pf::attr::kReadOnly) == 0) {
            (void)env.remove_file(path);
        }
        return take_scan_unit(control);
    };
    walk_client_folder(env, *root, control, remove_item);
    return {};
}

}  // namespace rk::files
