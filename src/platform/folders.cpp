#include "platform/folders.h"

#include "platform/host_path.h"
#include "platform/stat_following.h"

namespace rk::platform {

std::error_code make_folders(Env& env, const std::string& folder) {
    std::error_code ec;
    // A link to a folder may be one the operator made; where client paths
    // lead through links is the path mapping's to check.
    const FileInfo info = stat_following(env, folder, ec);
    if (ec) return ec;
    if (info.type == EntryType::directory) return {};
    if (info.type != EntryType::none) return std::make_error_code(std::errc::not_a_directory);
    const std::string parent = parent_folder(folder);
    if (parent != folder) {
        if (auto failed = make_folders(env, parent)) return failed;
    }
    ec = env.make_dir(folder);
    return ec == std::errc::file_exists ? std::error_code{} : ec;
}

}  // namespace rk::platform
