// A thin byte stream over one platform::File, the way save files are read
// for sending and written while receiving: 64-bit positions and sizes, and
// sharing stated at open time. One thread at a time uses a stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <span>
#include <string>
#include <system_error>

#include "platform/env.h"

namespace rk::support {

struct OpenedStream;

class FileStream {
public:
    // A closed stream: every call fails with EBADF.
    FileStream() = default;
    explicit FileStream(std::unique_ptr<platform::File> file) : file_(std::move(file)) {}

    // Generic open through the Env; truncates nothing.
    static OpenedStream open(platform::Env& env, const std::string& path, platform::OpenMode mode);
    // Read access; others may read meanwhile but not write.
    static OpenedStream open_for_sending(platform::Env& env, const std::string& path);
    // Read-write with no sharing, created when missing. The file is cut to
    // zero length only once the exclusive share is held, so a file that is
    // still being sent is never shortened by a create that cannot get it.
    static OpenedStream create_for_receiving(platform::Env& env, const std::string& path);

    bool is_open() const { return file_ != nullptr; }

    // Fill or drain the whole buffer unless end of file (read) or an error
    // stops them early; the count says how far they got. An error is kept
    // for error().
    std::size_t read(std::span<std::uint8_t> buffer);
    std::size_t write(std::span<const std::uint8_t> buffer);
    // Reads into `parts` one after another, as read() into one buffer.
    std::size_t read_scattered(std::span<const std::span<std::uint8_t>> parts);

    // False (the error kept) when the target is unreachable, e.g. before 0.
    bool seek64(std::int64_t offset, platform::SeekOrigin origin);
    std::uint64_t position() const { return position_; }
    // The current length; the position does not move. 0 on error.
    std::uint64_t size64();
    // Type, size and last write, as Env::stat() tells them of a path.
    platform::FileInfo info();
    // As Env::attributes() tells them of a path; 0 on error.
    std::uint32_t attributes();

    std::error_code truncate(std::uint64_t length);
    std::error_code sync();
    std::error_code set_mtime(std::time_t mtime);

    // The last error any call met; successful calls leave it in place.
    std::error_code error() const { return error_; }

    void close() { file_.reset(); }

private:
    std::error_code keep(std::error_code ec);

    std::unique_ptr<platform::File> file_;
    std::uint64_t position_ = 0;
    std::error_code error_;
};

// The stream, or why it could not be opened (the stream is then closed).
struct OpenedStream {
    FileStream stream;
    std::error_code error;

    explicit operator bool() const { return !error; }
};

}  // namespace rk::support
