#include "files/listing.h"

#include <algorithm>

#include "files/slot_dates.h"
#include "wire/listing.h"

namespace rk::files {

namespace pf = rk::platform;
namespace sp = rk::support;

namespace {

// The path below the walk root as a Windows client writes it: a leading
// backslash, backslashes between components, the bytes of each name as on disk.
std::string relative_path(const std::string& root, const std::string& path) {
    const std::size_t root_length = root == "/" ? 0 : root.size();
    std::string relative = path.substr(std::min(root_length, path.size()));
    std::replace(relative.begin(), relative.end(), '/', '\\');
    return relative;
}

}  // namespace

Listing build_listing(pf::Env& env, const std::string& user_root, std::string_view wire_path,
                      const WalkControl& control) {
    Listing listing;
    const auto root = walk_root(env, user_root, wire_path, &listing.status);
    if (!root) return listing;

    wire::ListingWriter writer;
    const auto add_item = [&](sp::ItemType type, const std::string& path, std::int64_t size,
                              std::uint32_t dos_time, std::uint32_t attributes) {
        const std::string relative = relative_path(*root, path);
        if (type == sp::ItemType::folder) {
            writer.folder(relative, std::uint32_t(size));
            return true;
        }
        // Slot date records are the server's, not saves.
        if (is_named(path, kSlotRecordName)) return true;
        writer.file(relative, std::uint64_t(size), attributes, dos_time);
        return take_scan_unit(control);
    };
    walk_client_folder(env, *root, control, add_item);
    listing.file_count = writer.file_count();
    listing.bytes = writer.take();
    return listing;
}

}  // namespace rk::files
