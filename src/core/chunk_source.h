// The content of an outbound transfer (a listing, a file or a batch) cut
// into 1024-byte chunks that the client may ask for again from any index. A
// file is read ahead in large blocks so that sending stays cheap for the io
// thread. Used from the io thread only.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "support/file_stream.h"
#include "wire/payload.h"

namespace rk::core {

class ChunkSource {
public:
    static ChunkSource of_bytes(std::vector<std::uint8_t> bytes, std::uint8_t data_code,
                                bool compress);
    static ChunkSource of_file(support::FileStream file, std::uint64_t size);

    std::uint8_t data_code() const { return data_code_; }
    bool compress() const { return compress_; }

    // The bytes of chunk `index`; empty past the end or when the file
    // cannot be read (the client then asks again with a resend).
    std::span<const std::uint8_t> chunk(std::uint64_t index);

private:
    static constexpr std::size_t kReadAhead = 64 * 1024;

    std::uint8_t data_code_ = 0;
    bool compress_ = false;
    std::uint64_t size_ = 0;
    std::vector<std::uint8_t> bytes_;  // the whole content, or the read-ahead block
    bool is_file_ = false;
    support::FileStream file_;
    std::uint64_t block_start_ = 0;
};

}  // namespace rk::core
