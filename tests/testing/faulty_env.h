// An Env for reliability tests: forwards every call to another Env, counts the
// calls that can fail (on files it opened too), and makes a chosen one fail.
// Safe for concurrent use, like the Env it wraps.
#pragma once

#include <cstdint>
#include <mutex>

#include "testing/env_wrapper.h"

namespace rk::platform::testing {

class FaultyEnv final : public EnvWrapper {
public:
    // Kinds of operation a fault may be limited to; combine with |.
    enum Kind : std::uint32_t {
        kOpen = 1u << 0,      // Env::open
        kRead = 1u << 1,      // File::read
        kWrite = 1u << 2,     // File::write
        kTruncate = 1u << 3,  // File::truncate
        kSync = 1u << 4,      // File::sync
        kRename = 1u << 5,    // Env::rename
        kRemove = 1u << 6,    // Env::remove_file, Env::remove_dir
        kMakeDir = 1u << 7,   // Env::make_dir
        kInspect = 1u << 8,   // stat, list, real_path, attributes, File::seek, File::size
        kSetMeta = 1u << 9,   // set_mtime (path and file), set_attributes
        kLock = 1u << 10,     // Env::lock
        kAny = (1u << 11) - 1,
    };

    enum class Mode {
        once,        // only the chosen operation fails
        persistent,  // it and every later one of the kinds fail (a full disk)
    };

    explicit FaultyEnv(Env& base) : EnvWrapper(base) {}

    // Counting starts afresh at this call: the nth (1-based) operation of the
    // given kinds fails with `errno_value`, without reaching the wrapped Env.
    // A failed read or write returns 0.
    void fail_at(std::uint64_t n, int errno_value, Mode mode = Mode::once,
                 std::uint32_t kinds = kAny);
    void clear_faults();

    // Operations seen since construction, now() and get_env excluded (they
    // cannot fail).
    std::uint64_t operations() const;
    // Operations made to fail so far; 0 tells a test its fault was never reached.
    std::uint64_t failures() const;

    std::unique_ptr<File> open(const std::string& path, OpenMode mode,
                               std::error_code& ec) override;
    FileInfo stat(const std::string& path, std::error_code& ec) override;
    std::vector<DirEntry> list(const std::string& path, std::error_code& ec) override;
    std::string real_path(const std::string& path, std::error_code& ec) override;
    std::error_code make_dir(const std::string& path) override;
    std::error_code remove_file(const std::string& path) override;
    std::error_code remove_dir(const std::string& path) override;
    std::error_code rename(const std::string& from, const std::string& to) override;
    std::error_code set_mtime(const std::string& path, std::time_t mtime) override;
    std::uint32_t attributes(const std::string& path, std::error_code& ec) override;
    std::error_code set_attributes(const std::string& path, std::uint32_t bits) override;
    std::unique_ptr<FileLock> lock(const std::string& path, std::error_code& ec) override;

    // Counts one operation of `kind`; the fault to report, if this one fails.
    // Public for the files this Env hands out.
    std::error_code count(Kind kind);

private:
    mutable std::mutex mutex_;
    std::uint64_t operations_ = 0;
    std::uint64_t failures_ = 0;
    bool armed_ = false;
    std::uint64_t fail_at_ = 0;
    std::uint64_t matched_ = 0;
    int errno_ = 0;
    Mode mode_ = Mode::once;
    std::uint32_t kinds_ = 0;
};

}  // namespace rk::platform::testing
