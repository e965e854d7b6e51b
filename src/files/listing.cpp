#include "files/listing.h"

#include <algorithm>

#include "files/slot_dates.h"
#include "wire/packet.h"

namespace rk::files {

namespace pf = rk::platform;
namespace sp = rk::support;

namespace {

// The client keeps paths in buffers of this size.
constexpr std::size_t kMaxRelativePath = 1024;

// The path below the walk root as a Windows client writes it: a leading
// backslash, backslashes between components, the bytes of each name as on disk.
std::string relative_path(const std::string& root, const std::string& path) {
    const std::size_t root_length = root == "/" ? 0 : root.size();
    std::string relative = path.substr(std::min(root_length, path.size()));
    relative.resize(std::min(relative.size(), kMaxRelativePath));
    std::replace(relative.begin(), relative.end(), '/', '\\');
    return relative;
}

}  // namespace

Listing build_listing(pf::Env& env, const std::string& user_root, std::string_view wire_path,
                      const WalkControl& control) {
    Listing listing;
    const auto root = walk_root(env, user_root, wire_path);
    if (!root) return listing;
    listing.exists = true;

    std::string folder_text;
    std::vector<std::uint32_t> folder_totals;
    const auto add_item = [&](sp::ItemType type, const std::string& path, std::int64_t size,
                              std::uint32_t dos_time, std::uint32_t attributes) {
        const std::string relative = relative_path(*root, path);
        if (type == sp::ItemType::folder) {
            // The client splits the section at line ends: such a name would
            // shift every total after it.
            if (relative.find_first_of("\r\n") != std::string::npos) return true;
            folder_text += relative;
            folder_text += "\r\n";
            folder_totals.push_back(std::uint32_t(size));
            return true;
        }
        // Slot date records are the server's, not saves.
        if (is_named(path, kSlotRecordName)) return true;
        std::vector<std::uint8_t>& out = listing.bytes;
        const std::size_t at = out.size();
        out.resize(at + 17);
        out[at] = 0;
        wire::store_u64(out.data() + at + 1, std::uint64_t(size));
        wire::store_u32(out.data() + at + 9, attributes);
        wire::store_u32(out.data() + at + 13, dos_time);
        out.insert(out.end(), relative.begin(), relative.end());
        out.push_back(0);
        ++listing.file_count;
        return take_scan_unit(control);
    };
    walk_client_folder(env, *root, control, add_item);

    // A listing with nothing in it is sent as no bytes, not a lone NUL.
    if (listing.file_count == 0 && folder_totals.empty()) return listing;
    listing.bytes.insert(listing.bytes.end(), folder_text.begin(), folder_text.end());
    listing.bytes.push_back(0);
    std::size_t at = listing.bytes.size();
    listing.bytes.resize(at + 4 * folder_totals.size());
    for (std::uint32_t total : folder_totals) {
        wire::store_u32(listing.bytes.data() + at, total);
        at += 4;
    }
    return listing;
}

}  // namespace rk::files
