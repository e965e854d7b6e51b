#include "platform/stat_following.h"

namespace rk::platform {

FileInfo stat_following(Env& env, const std::string& path, std::error_code& ec,
                        std::string* target) {
    FileInfo info = env.stat(path, ec);
    if (ec) return {};
    std::string resolved = path;
    if (info.type == EntryType::symlink) {
        resolved = env.real_path(path, ec);
        if (ec) return {};
        info = env.stat(resolved, ec);
        if (ec) return {};
    }
    if (target) *target = std::move(resolved);
    return info;
}

}  // namespace rk::platform
