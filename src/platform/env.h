// The one seam between the server and the operating system: files, folders,
// DOS attributes and dates, share-mode locks, the wall clock and the process
// environment. Everything above src/platform asks an Env; tests hand in
// doubles of their own (a disk that fails its Nth operation, for one).
//
// Errors come back as std::error_code values (errno category), never as
// exceptions. Paths are host paths: bytes, '/'-separated, never converted.
//
// Safe for concurrent use: an Env keeps no per-call state. A File is used by
// one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <vector>

namespace rk::platform {

// Windows file attribute bits as they travel on the wire and in listings.
namespace attr {
inline constexpr std::uint32_t kReadOnly = 0x01;
inline constexpr std::uint32_t kHidden = 0x02;
inline constexpr std::uint32_t kSystem = 0x04;
inline constexpr std::uint32_t kDirectory = 0x10;
inline constexpr std::uint32_t kArchive = 0x20;
inline constexpr std::uint32_t kNormal = 0x80;
// The bits a client may set on a file; the rest are derived.
inline constexpr std::uint32_t kSettable = kReadOnly | kHidden | kSystem | kArchive;
}  // namespace attr

enum class EntryType { none, file, directory, symlink, other };

// What lstat tells of a path; symbolic links are never followed.
struct FileInfo {
    EntryType type = EntryType::none;
    std::uint64_t size = 0;
    std::time_t mtime = 0;  // last write, seconds since the epoch
};

struct DirEntry {
    std::string name;
    EntryType type = EntryType::none;  // as lstat would say: links stay links
};

enum class Access { read, write, read_write };

// Who else may have the file open meanwhile (advisory locks between the
// server's own opens).
enum class Share { none, read, write, read_write };

// How a file is opened. `create` makes the file when it is missing and never
// truncates on open: truncation is a separate File::truncate call made once
// the share lock is held, so a file someone still reads is never cut short.
struct OpenMode {
    Access access = Access::read;
    Share share = Share::read;
    bool create = false;
    // A file created by this open gets mode 0600 (account data, secrets).
    bool owner_only = false;
};

enum class SeekOrigin { begin, current, end };

// An open file. read() fills the buffer unless it reaches end of file or an
// error; write() writes everything unless it fails. A short read with a zero
// error_code therefore means end of file.
class File {
public:
    virtual ~File() = default;
    File() = default;
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    virtual std::size_t read(std::span<std::uint8_t> buffer, std::error_code& ec) = 0;
    // Fills `parts` one after another as read() would fill one buffer of
    // their total size: whole unless end of file or an error stops it.
    virtual std::size_t read_scattered(std::span<const std::span<std::uint8_t>> parts,
                                       std::error_code& ec) {
        std::size_t done = 0;
        for (const auto part : parts) {
            const std::size_t n = read(part, ec);
            done += n;
            if (ec || n < part.size()) break;
        }
        return done;
    }
    virtual std::size_t write(std::span<const std::uint8_t> buffer, std::error_code& ec) = 0;
    // Returns the new position from the start of the file.
    virtual std::uint64_t seek(std::int64_t offset, SeekOrigin origin, std::error_code& ec) = 0;
    virtual std::uint64_t size(std::error_code& ec) = 0;
    // What Env::stat() tells of a path, for the open file.
    virtual FileInfo info(std::error_code& ec) = 0;
    // What Env::attributes() tells of a path, for the open file.
    virtual std::uint32_t attributes(std::error_code& ec) = 0;
    virtual std::error_code truncate(std::uint64_t length) = 0;
    virtual std::error_code sync() = 0;
    virtual std::error_code set_mtime(std::time_t mtime) = 0;
};

// Held while the lock file stays locked; unlocks when destroyed.
class FileLock {
public:
    virtual ~FileLock() = default;
    FileLock() = default;
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
};

class Env {
public:
    virtual ~Env() = default;
    Env() = default;
    Env(const Env&) = delete;
    Env& operator=(const Env&) = delete;

    // The process's real operating system.
    static Env& host();

    // Opens or creates a regular file (links followed). Fails with EACCES
    // when write access is asked of a file whose read-only attribute is set,
    // with EWOULDBLOCK when the sharing of another open forbids this one, with
    // EISDIR for a folder and EINVAL for a device, pipe or socket.
    virtual std::unique_ptr<File> open(const std::string& path, OpenMode mode,
                                       std::error_code& ec) = 0;

    // lstat: a missing path, or one that runs through a file, gives type
    // none and no error.
    virtual FileInfo stat(const std::string& path, std::error_code& ec) = 0;
    // The entries of a folder without "." and "..", sorted by name bytes.
    virtual std::vector<DirEntry> list(const std::string& path, std::error_code& ec) = 0;
    // The canonical form of an existing path, links resolved.
    virtual std::string real_path(const std::string& path, std::error_code& ec) = 0;

    virtual std::error_code make_dir(const std::string& path) = 0;
    virtual std::error_code remove_file(const std::string& path) = 0;
    virtual std::error_code remove_dir(const std::string& path) = 0;
    // Replaces `to` atomically when it exists.
    virtual std::error_code rename(const std::string& from, const std::string& to) = 0;
    virtual std::error_code set_mtime(const std::string& path, std::time_t mtime) = 0;

    // Windows attribute bits of a file or folder (attr:: above), links
    // followed. Kept in an extended attribute where the file system allows,
    // otherwise derived from the mode bits (directory, read-only when the
    // owner has no write bit, archive). set_attributes keeps only
    // attr::kSettable and mirrors read-only into the owner's write bit.
    virtual std::uint32_t attributes(const std::string& path, std::error_code& ec) = 0;
    // stat() and attributes() of one path together, as a walk wants them,
    // in fewer system calls where the platform allows. `ec` is stat()'s
    // error; the attributes' own error is kept apart.
    struct Described {
        FileInfo info;
        std::uint32_t attributes = 0;
        std::error_code attributes_error;
    };
    virtual Described describe(const std::string& path, std::error_code& ec) {
        Described d;
        d.info = stat(path, ec);
        if (!ec && d.info.type != EntryType::none)
            d.attributes = attributes(path, d.attributes_error);
        return d;
    }
    virtual std::error_code set_attributes(const std::string& path, std::uint32_t bits) = 0;

    // Takes an exclusive lock on `path` (created when missing) without
    // waiting: EWOULDBLOCK when another process holds it.
    virtual std::unique_ptr<FileLock> lock(const std::string& path, std::error_code& ec) = 0;

    virtual std::time_t now() = 0;
    virtual std::optional<std::string> get_env(const std::string& name) = 0;
};

}  // namespace rk::platform
