// zlib-format (RFC 1950) compression of whole buffers, as compressed payloads,
// the account file and old save containers carry it. Pure functions: safe to
// call from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace rk::wire {

enum class CompressLevel {
    none,     // stored blocks, still a valid zlib stream
    fastest,  // zlib level 1
    normal,   // zlib's default level
    max,      // zlib level 9
};

// Either the produced bytes or, when `error` is not empty, why there are none.
struct CodecResult {
    std::vector<std::uint8_t> bytes;
    std::string error;

    bool ok() const { return error.empty(); }
};

CodecResult compress(std::span<const std::uint8_t> input, CompressLevel level);

// Inflates one zlib stream. Fails, without allocating more than about
// `max_output` bytes, when the stream would inflate past `max_output`, is
// truncated, is corrupt or fails its Adler-32 check. Bytes after the end of
// the stream are ignored.
CodecResult decompress(std::span<const std::uint8_t> input, std::size_t max_output);

}  // namespace rk::wire
