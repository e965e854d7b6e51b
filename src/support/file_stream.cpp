#include "support/file_stream.h"

#include <cerrno>
#include <utility>

namespace rk::support {
namespace {

std::error_code errno_code(int value) { return {value, std::generic_category()}; }

}  // namespace

OpenedStream FileStream::open(platform::Env& env, const std::string& path,
                              platform::OpenMode mode) {
    OpenedStream opened;
    auto file = env.open(path, mode, opened.error);
    if (!opened.error && !file) opened.error = errno_code(EIO);
    if (!opened.error) opened.stream = FileStream(std::move(file));
    return opened;
}

OpenedStream FileStream::open_for_sending(platform::Env& env, const std::string& path) {
    return open(
        env, path,
        platform::OpenMode{
            .access = platform::Access::read, .share = platform::Share::read, .create = false});
}

OpenedStream FileStream::create_for_receiving(platform::Env& env, const std::string& path) {
    OpenedStream opened = open(env, path,
                               platform::OpenMode{.access = platform::Access::read_write,
                                                  .share = platform::Share::none,
                                                  .create = true});
    if (!opened) return opened;
    // Only now, with nobody else sharing the file, may its old content go.
    if (const std::error_code ec = opened.stream.truncate(0)) {
        opened.stream.close();
        opened.error = ec;
    }
    return opened;
}

std::error_code FileStream::keep(std::error_code ec) {
    if (ec) error_ = ec;
    return ec;
}

std::size_t FileStream::read(std::span<std::uint8_t> buffer) {
    if (!file_) {
        keep(errno_code(EBADF));
        return 0;
    }
    std::size_t done = 0;
    while (done < buffer.size()) {
        std::error_code ec;
        const std::size_t n = file_->read(buffer.subspan(done), ec);
        done += n;
        position_ += n;
        if (ec) {
            keep(ec);
            break;
        }
        if (n == 0) break;  // end of file
    }
    return done;
}

std::size_t FileStream::read_scattered(std::span<const std::span<std::uint8_t>> parts) {
    if (!file_) {
        keep(errno_code(EBADF));
        return 0;
    }
    std::error_code ec;
    const std::size_t n = file_->read_scattered(parts, ec);
    position_ += n;
    keep(ec);
    return n;
}

std::size_t FileStream::write(std::span<const std::uint8_t> buffer) {
    if (!file_) {
        keep(errno_code(EBADF));
        return 0;
    }
    std::size_t done = 0;
    while (done < buffer.size()) {
        std::error_code ec;
        const std::size_t n = file_->write(buffer.subspan(done), ec);
        done += n;
        position_ += n;
        if (ec) {
            keep(ec);
            break;
        }
        if (n == 0) {
            // A write that moves nothing and says nothing would spin forever.
            keep(errno_code(EIO));
            break;
        }
    }
    return done;
}

bool FileStream::seek64(std::int64_t offset, platform::SeekOrigin origin) {
    if (!file_) return !keep(errno_code(EBADF));
    std::error_code ec;
    const std::uint64_t target = file_->seek(offset, origin, ec);
    if (keep(ec)) return false;
    position_ = target;
    return true;
}

std::uint64_t FileStream::size64() {
    if (!file_) {
        keep(errno_code(EBADF));
        return 0;
    }
    std::error_code ec;
    const std::uint64_t size = file_->size(ec);
    return keep(ec) ? 0 : size;
}

platform::FileInfo FileStream::info() {
    if (!file_) {
        keep(errno_code(EBADF));
        return {};
    }
    std::error_code ec;
    const platform::FileInfo info = file_->info(ec);
    return keep(ec) ? platform::FileInfo{} : info;
}

std::uint32_t FileStream::attributes() {
    if (!file_) {
        keep(errno_code(EBADF));
        return 0;
    }
    std::error_code ec;
    const std::uint32_t bits = file_->attributes(ec);
    return keep(ec) ? 0 : bits;
}

std::error_code FileStream::truncate(std::uint64_t length) {
    if (!file_) return keep(errno_code(EBADF));
    return keep(file_->truncate(length));
}

std::error_code FileStream::sync() {
    if (!file_) return keep(errno_code(EBADF));
    return keep(file_->sync());
}

std::error_code FileStream::set_mtime(std::time_t mtime) {
    if (!file_) return keep(errno_code(EBADF));
    return keep(file_->set_mtime(mtime));
}

}  // namespace rk::support
