// Env on Linux: plain POSIX calls, errno turned into std::error_code.

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>

#include "platform/env.h"

namespace rk::platform {
namespace {

constexpr const char* kAttrName = "user.rkserver.attr";

std::error_code errno_code(int value) { return {value, std::generic_category()}; }
std::error_code last_error() { return errno_code(errno); }

EntryType type_of(mode_t mode) {
    if (S_ISREG(mode)) return EntryType::file;
    if (S_ISDIR(mode)) return EntryType::directory;
    if (S_ISLNK(mode)) return EntryType::symlink;
    return EntryType::other;
}

EntryType type_of_dirent(unsigned char d_type) {
    switch (d_type) {
        case DT_REG:
            return EntryType::file;
        case DT_DIR:
            return EntryType::directory;
        case DT_LNK:
            return EntryType::symlink;
        case DT_UNKNOWN:
            return EntryType::none;
        default:
            return EntryType::other;
    }
}

// What a file system without our extended attribute can still tell.
std::uint32_t derived_attributes(const struct stat& st) {
    std::uint32_t bits = S_ISDIR(st.st_mode) ? attr::kDirectory : attr::kArchive;
    if ((st.st_mode & S_IWUSR) == 0) bits |= attr::kReadOnly;
    return bits;
}

std::uint32_t stored_attributes(std::uint8_t stored, const struct stat& st) {
    std::uint32_t bits = stored & attr::kSettable;
    if (S_ISDIR(st.st_mode)) bits |= attr::kDirectory;
    return bits == 0 ? attr::kNormal : bits;
}

// Reads our attribute byte through `get` (getxattr or fgetxattr). Anything
// but exactly one byte (absent, refused, or a longer value someone else wrote)
// falls back to the mode bits rather than being trusted.
template <typename Get>
std::uint32_t read_attributes(Get get, const struct stat& st, std::error_code& ec) {
    std::uint8_t stored = 0;
    ssize_t got = get(&stored);
    if (got == 1) return stored_attributes(stored, st);
    if (got < 0 && errno != ENODATA && errno != ENOTSUP && errno != ERANGE) {
        ec = last_error();
        return 0;
    }
    return derived_attributes(st);
}

// Our attribute byte of the file at `path`, whose stat() is `st`.
std::uint32_t path_attributes(const std::string& path, const struct stat& st, std::error_code& ec) {
    return read_attributes(
        [&path](std::uint8_t* byte) { return ::getxattr(path.c_str(), kAttrName, byte, 1); }, st,
        ec);
}

// lstat of `path`: false when nothing is there (no error then) or it failed.
bool lstat_path(const std::string& path, struct stat& st, std::error_code& ec) {
    if (::lstat(path.c_str(), &st) == 0) return true;
    if (errno != ENOENT && errno != ENOTDIR) ec = last_error();
    return false;
}

FileInfo info_of(const struct stat& st) {
    FileInfo info;
    info.type = type_of(st.st_mode);
    info.size = S_ISREG(st.st_mode) ? static_cast<std::uint64_t>(st.st_size) : 0;
    info.mtime = st.st_mtim.tv_sec;
    return info;
}

// Leaves the access time alone: only the last-write time travels.
void mtime_only(std::time_t mtime, timespec (&times)[2]) {
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = mtime;
    times[1].tv_nsec = 0;
}

class PosixFile final : public File {
public:
    explicit PosixFile(int fd) : fd_(fd) {}
    ~PosixFile() override { ::close(fd_); }

    std::size_t read(std::span<std::uint8_t> buffer, std::error_code& ec) override {
        ec.clear();
        std::size_t done = 0;
        while (done < buffer.size()) {
            ssize_t n = ::read(fd_, buffer.data() + done, buffer.size() - done);
            if (n < 0) {
                if (errno == EINTR) continue;
                ec = last_error();
                break;
            }
            if (n == 0) break;
            done += static_cast<std::size_t>(n);
        }
        return done;
    }

    std::size_t read_scattered(std::span<const std::span<std::uint8_t>> parts,
                               std::error_code& ec) override {
        ec.clear();
        // One readv for as many parts as it takes; a short one goes on from
        // where it stopped.
        std::vector<iovec> left;
        left.reserve(std::min<std::size_t>(parts.size(), IOV_MAX));
        std::size_t done = 0;
        std::size_t next = 0;
        while (next < parts.size() || !left.empty()) {
            while (next < parts.size() && left.size() < IOV_MAX) {
                left.push_back({parts[next].data(), parts[next].size()});
                ++next;
            }
            ssize_t n = ::readv(fd_, left.data(), int(left.size()));
            if (n < 0) {
                if (errno == EINTR) continue;
                ec = last_error();
                break;
            }
            if (n == 0) break;
            done += std::size_t(n);
            std::size_t used = 0;
            auto got = std::size_t(n);
            while (used < left.size() && got >= left[used].iov_len) got -= left[used++].iov_len;
            left.erase(left.begin(), left.begin() + std::ptrdiff_t(used));
            if (!left.empty()) {
                left.front().iov_base = static_cast<std::uint8_t*>(left.front().iov_base) + got;
                left.front().iov_len -= got;
            }
        }
        return done;
    }

    std::size_t write(std::span<const std::uint8_t> buffer, std::error_code& ec) override {
        ec.clear();
        std::size_t done = 0;
        while (done < buffer.size()) {
            ssize_t n = ::write(fd_, buffer.data() + done, buffer.size() - done);
            if (n < 0) {
                if (errno == EINTR) continue;
                ec = last_error();
                break;
            }
            done += static_cast<std::size_t>(n);
        }
        return done;
    }

    std::uint64_t seek(std::int64_t offset, SeekOrigin origin, std::error_code& ec) override {
        ec.clear();
        int whence = origin == SeekOrigin::begin     ? SEEK_SET
                     : origin == SeekOrigin::current ? SEEK_CUR
                                                     : SEEK_END;
        off_t at = ::lseek(fd_, static_cast<off_t>(offset), whence);
        if (at < 0) {
            ec = last_error();
            return 0;
        }
        return static_cast<std::uint64_t>(at);
    }

    std::uint64_t size(std::error_code& ec) override {
        struct stat st {};
        return fstat_file(st, ec) ? static_cast<std::uint64_t>(st.st_size) : 0;
    }

    FileInfo info(std::error_code& ec) override {
        struct stat st {};
        return fstat_file(st, ec) ? info_of(st) : FileInfo{};
    }

    std::uint32_t attributes(std::error_code& ec) override {
        struct stat st {};
        if (!fstat_file(st, ec)) return 0;
        return read_attributes(
            [this](std::uint8_t* byte) { return ::fgetxattr(fd_, kAttrName, byte, 1); }, st, ec);
    }

    std::error_code truncate(std::uint64_t length) override {
        if (length > static_cast<std::uint64_t>(INT64_MAX)) return errno_code(EFBIG);
        if (::ftruncate(fd_, static_cast<off_t>(length)) != 0) return last_error();
        return {};
    }

    std::error_code sync() override {
        if (::fsync(fd_) != 0) return last_error();
        return {};
    }

    std::error_code set_mtime(std::time_t mtime) override {
        timespec times[2];
        mtime_only(mtime, times);
        if (::futimens(fd_, times) != 0) return last_error();
        return {};
    }

private:
    // Sets `ec` as the calls above report it; false when fstat failed.
    bool fstat_file(struct stat& st, std::error_code& ec) {
        ec.clear();
        if (::fstat(fd_, &st) == 0) return true;
        ec = last_error();
        return false;
    }

    int fd_;
};

class PosixFileLock final : public FileLock {
public:
    explicit PosixFileLock(int fd) : fd_(fd) {}
    ~PosixFileLock() override { ::close(fd_); }

private:
    int fd_;
};

// flock locks belong to the open file description, so two opens inside this
// process conflict just as two processes do (fcntl locks would not).
int lock_for(OpenMode mode) {
    bool writes = mode.access != Access::read;
    switch (mode.share) {
        case Share::none:
            return LOCK_EX;
        case Share::read:
            // Readers may share; a writer must keep every other opener out
            // but those that let it write, which take no lock at all.
            return writes ? LOCK_EX : LOCK_SH;
        case Share::write:
        case Share::read_write:
            return 0;
    }
    return LOCK_EX;
}

class PosixEnv final : public Env {
public:
    std::unique_ptr<File> open(const std::string& path, OpenMode mode,
                               std::error_code& ec) override {
        ec.clear();
        int flags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
        switch (mode.access) {
            case Access::read:
                flags |= O_RDONLY;
                break;
            case Access::write:
                flags |= O_WRONLY;
                break;
            case Access::read_write:
                flags |= O_RDWR;
                break;
        }
        if (mode.create) flags |= O_CREAT;
        // O_NONBLOCK so that a pipe someone left in the tree cannot hang the
        // opener; a plain file, the only kind kept open, ignores it.
        int fd = ::open(path.c_str(), flags, mode.owner_only ? 0600 : 0644);
        if (fd < 0) {
            // Opening a folder for writing fails here with EISDIR already.
            ec = last_error();
            return nullptr;
        }
        auto file = std::make_unique<PosixFile>(fd);

        struct stat st {};
        if (::fstat(fd, &st) != 0) {
            ec = last_error();
            return nullptr;
        }
        if (!S_ISREG(st.st_mode)) {
            ec = errno_code(S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
            return nullptr;
        }

        // We run with enough rights that the mode bits alone would not stop
        // the write, so the read-only attribute is checked here.
        if (mode.access != Access::read) {
            std::uint32_t bits = read_attributes(
                [fd](std::uint8_t* byte) { return ::fgetxattr(fd, kAttrName, byte, 1); }, st, ec);
            if (ec) return nullptr;
            if (bits & attr::kReadOnly) {
                ec = errno_code(EACCES);
                return nullptr;
            }
        }

        if (int op = lock_for(mode); op != 0) {
            if (::flock(fd, op | LOCK_NB) != 0) {
                ec = errno == EWOULDBLOCK ? errno_code(EWOULDBLOCK) : last_error();
                return nullptr;
            }
        }
        return file;
    }

    FileInfo stat(const std::string& path, std::error_code& ec) override {
        ec.clear();
        struct stat st {};
        return lstat_path(path, st, ec) ? info_of(st) : FileInfo{};
    }

    std::vector<DirEntry> list(const std::string& path, std::error_code& ec) override {
        ec.clear();
        std::vector<DirEntry> entries;
        int dir_fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir_fd < 0) {
            ec = last_error();
            return entries;
        }
        DIR* dir = ::fdopendir(dir_fd);
        if (dir == nullptr) {
            ec = last_error();
            ::close(dir_fd);
            return entries;
        }
        for (;;) {
            errno = 0;
            dirent* d = ::readdir(dir);
            if (d == nullptr) {
                if (errno != 0) ec = last_error();
                break;
            }
            std::string name = d->d_name;
            if (name == "." || name == "..") continue;
            EntryType type = type_of_dirent(d->d_type);
            if (type == EntryType::none) {
                // Some file systems do not fill d_type.
                struct stat st {};
                if (::fstatat(dir_fd, d->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
                type = type_of(st.st_mode);
            }
            entries.push_back({std::move(name), type});
        }
        ::closedir(dir);
        if (ec) {
            entries.clear();
            return entries;
        }
        std::sort(entries.begin(), entries.end(),
                  [](const DirEntry& a, const DirEntry& b) { return a.name < b.name; });
        return entries;
    }

    std::string real_path(const std::string& path, std::error_code& ec) override {
        ec.clear();
        char* resolved = ::realpath(path.c_str(), nullptr);
        if (resolved == nullptr) {
            ec = last_error();
            return {};
        }
        std::string result = resolved;
        std::free(resolved);
        return result;
    }

    std::error_code make_dir(const std::string& path) override {
        return ::mkdir(path.c_str(), 0755) == 0 ? std::error_code{} : last_error();
    }

    std::error_code remove_file(const std::string& path) override {
        return ::unlink(path.c_str()) == 0 ? std::error_code{} : last_error();
    }

    std::error_code remove_dir(const std::string& path) override {
        return ::rmdir(path.c_str()) == 0 ? std::error_code{} : last_error();
    }

    std::error_code rename(const std::string& from, const std::string& to) override {
        return ::rename(from.c_str(), to.c_str()) == 0 ? std::error_code{} : last_error();
    }

    std::error_code set_mtime(const std::string& path, std::time_t mtime) override {
        timespec times[2];
        mtime_only(mtime, times);
        if (::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
            return last_error();
        return {};
    }

    std::uint32_t attributes(const std::string& path, std::error_code& ec) override {
        ec.clear();
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) {
            ec = last_error();
            return 0;
        }
        return path_attributes(path, st, ec);
    }

    Described describe(const std::string& path, std::error_code& ec) override {
        ec.clear();
        Described d;
        struct stat st {};
        if (!lstat_path(path, st, ec)) return d;
        d.info = info_of(st);
        // The lstat answers for everything but a link, whose attributes are
        // its target's.
        d.attributes = S_ISLNK(st.st_mode) ? attributes(path, d.attributes_error)
                                           : path_attributes(path, st, d.attributes_error);
        return d;
    }

    std::error_code set_attributes(const std::string& path, std::uint32_t bits) override {
        bits &= attr::kSettable;
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) return last_error();
        auto stored = static_cast<std::uint8_t>(bits);
        // Where the file system refuses extended attributes only read-only
        // survives, through the mode bits below.
        if (::setxattr(path.c_str(), kAttrName, &stored, 1, 0) != 0 && errno != ENOTSUP)
            return last_error();
        mode_t mode = st.st_mode & 07777;
        mode_t wanted = (bits & attr::kReadOnly) ? (mode & ~S_IWUSR) : (mode | S_IWUSR);
        if (wanted != mode && ::chmod(path.c_str(), wanted) != 0) return last_error();
        return {};
    }

    std::unique_ptr<FileLock> lock(const std::string& path, std::error_code& ec) override {
        ec.clear();
        int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY, 0600);
        if (fd < 0) {
            ec = last_error();
            return nullptr;
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            ec = errno == EWOULDBLOCK ? errno_code(EWOULDBLOCK) : last_error();
            ::close(fd);
            return nullptr;
        }
        return std::make_unique<PosixFileLock>(fd);
    }

    std::time_t now() override { return ::time(nullptr); }

    std::optional<std::string> get_env(const std::string& name) override {
        const char* value = ::getenv(name.c_str());
        if (value == nullptr) return std::nullopt;
        return std::string(value);
    }
};

}  // namespace

Env& Env::host() {
    static PosixEnv env;
    return env;
}

}  // namespace rk::platform
