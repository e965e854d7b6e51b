#include "files/last_write.h"

namespace rk::files {

namespace pf = rk::platform;

std::optional<std::time_t> last_write(pf::Env& env, const std::string& path) {
    std::error_code ec;
    pf::FileInfo info = env.stat(path, ec);
    if (!ec && info.type == pf::EntryType::symlink) {
        const std::string target = env.real_path(path, ec);
        if (!ec) info = env.stat(target, ec);
    }
    if (ec || info.type != pf::EntryType::file) return std::nullopt;
    return info.mtime;
}

}  // namespace rk::files
