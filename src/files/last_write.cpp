#include "files/last_write.h"

#include "platform/stat_following.h"

namespace rk::files {

namespace pf = rk::platform;

std::optional<std::time_t> last_write(pf::Env& env, const std::string& path) {
    std::error_code ec;
    const pf::FileInfo info = pf::stat_following(env, path, ec);
    if (ec || info.type != pf::EntryType::file) return std::nullopt;
    return info.mtime;
}

}  // namespace rk::files
