#include "files/tree_delete.h"

namespace rk::files {

namespace pf = rk::platform;
namespace sp = rk::support;

void delete_tree(pf::Env& env, const std::string& user_root, std::string_view wire_path,
                 const WalkControl& control) {
    const auto root = walk_root(env, user_root, wire_path);
    if (!root) return;
    const auto remove_item = [&](sp::ItemType type, const std::string& path, std::int64_t,
                                 std::uint32_t, std::uint32_t) {
        // Attributes are left as they are: a tree delete never overrides a
        // protection the way a single delete does, and a folder still
        // holding something simply stays.
        if (type == sp::ItemType::folder) {
            (void)env.remove_dir(path);
        } else {
            (void)env.remove_file(path);
        }
        return take_scan_unit(control);
    };
    walk_client_folder(env, *root, control, remove_item);
}

}  // namespace rk::files
