#include "platform/config_files.h"

#include <algorithm>
#include <cerrno>
#include <span>

#include "platform/home_files.h"
#include "platform/host_path.h"
#include "platform/stat_following.h"

namespace rk::platform {
std::optional<std::string> config_home_from(const std::optional<std::string>& xdg_config_home,
                                            const std::optional<std::string>& home) {
    // A relative value would depend on the folder the server was started
    // from; the convention is to ignore it.
    if (xdg_config_home && !xdg_config_home->empty() && xdg_config_home->front() == '/') {
        return *xdg_config_home;
    }
    if (home && !home->empty() && home->front() == '/') {
        std::string folder = *home;
        if (folder.back() != '/') folder += '/';
        return folder + ".config";
    }
    return std::nullopt;
}

std::optional<std::string> config_home(Env& env) {
    return config_home_from(env.get_env("XDG_CONFIG_HOME"), env.get_env("HOME"));
}

SmallFile read_small_file(Env& env, const std::string& path, std::size_t cap) {
    SmallFile out;
    auto file = env.open(path, {Access::read, Share::read}, out.error);
    if (!file) return out;
    // Grown as the bytes come, so that a generous cap costs nothing up front.
    constexpr std::size_t kChunk = 64 * 1024;
    for (;;) {
        const std::size_t at = out.content.size();
        // One byte past the cap tells a file that is too large.
        const std::size_t want = std::min(kChunk, cap + 1 - at);
        out.content.resize(at + want);
        const std::size_t got = file->read(
            std::span(reinterpret_cast<std::uint8_t*>(out.content.data()) + at, want), out.error);
        out.content.resize(at + got);
        if (out.error) {
            out.content.clear();
            return out;
        }
        if (out.content.size() > cap) {
            out.content.clear();
            out.too_large = true;
            return out;
        }
        if (got < want) return out;
    }
}

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

std::error_code replace_file(Env& env, const std::string& path, std::string_view content) {
    if (auto ec = make_folders(env, parent_folder(path))) return ec;
    const std::string temporary = path + std::string(kReplacingSuffix);
    // A leftover from a crash keeps its old mode bits; only a file this open
    // creates is made owner-only.
    (void)env.remove_file(temporary);
    auto write_temporary = [&]() -> std::error_code {
        std::error_code ec;
        auto file = env.open(temporary, {Access::write, Share::none, true, true}, ec);
        if (!file) return ec;
        if ((ec = file->truncate(0))) return ec;
        const std::size_t written = file->write(
            std::span(reinterpret_cast<const std::uint8_t*>(content.data()), content.size()), ec);
        if (ec) return ec;
        if (written != content.size()) return std::make_error_code(std::errc::io_error);
        return file->sync();
    };
    std::error_code ec = write_temporary();
    if (!ec) ec = env.rename(temporary, path);
    if (ec) (void)env.remove_file(temporary);
    return ec;
}

}  // namespace rk::platform
