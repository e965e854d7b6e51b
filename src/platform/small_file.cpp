#include "platform/small_file.h"

#include <algorithm>
#include <span>

#include "platform/folders.h"
#include "platform/home_files.h"
#include "platform/host_path.h"

namespace rk::platform {

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

namespace {

std::error_code write_synced(File& file, std::string_view content,
                             const std::optional<std::time_t>& mtime) {
    if (auto ec = file.truncate(0)) return ec;
    std::error_code ec;
    const std::size_t written = file.write(
        std::span(reinterpret_cast<const std::uint8_t*>(content.data()), content.size()), ec);
    if (ec) return ec;
    if (written != content.size()) return std::make_error_code(std::errc::io_error);
    if (mtime) {
        if ((ec = file.set_mtime(*mtime))) return ec;
    }
    return file.sync();
}

}  // namespace

std::error_code replace_file(Env& env, const std::string& path, std::string_view content,
                             const ReplaceOptions& options) {
    if (auto ec = make_folders(env, parent_folder(path))) return ec;
    const std::string temporary =
        options.temporary.empty() ? path + std::string(kReplacingSuffix) : options.temporary;

    std::error_code ec;
    const EntryType leftover = env.stat(temporary, ec).type;
    if (ec) return ec;
    if (leftover == EntryType::file || leftover == EntryType::symlink) {
        // Removing a link touches only the link; a leftover file goes so that
        // the open creates the new one with the mode asked for.
        if ((ec = env.remove_file(temporary))) return ec;
    } else if (leftover != EntryType::none) {
        return std::make_error_code(std::errc::file_exists);
    }

    auto file = env.open(temporary, {Access::write, Share::none, true, options.owner_only}, ec);
    if (file) ec = write_synced(*file, content, options.mtime);
    file.reset();
    if (!ec) ec = env.rename(temporary, path);
    if (ec) (void)env.remove_file(temporary);
    return ec;
}

}  // namespace rk::platform
