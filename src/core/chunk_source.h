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

    bool is_file() const { return is_file_; }
    // The chunks that hold kChunkSize bytes: all but a shorter last one.
    std::uint64_t whole_chunks() const { return size_ / wire::kChunkSize; }
    // For a file: reads chunks `index`, `index` + 1, ... straight into
    // `slots`, kChunkSize bytes each and none past whole_chunks(); the number
    // of slots filled whole (fewer when the file was cut short or failed).
    std::size_t read_chunks(std::uint64_t index, std::span<const std::span<std::uint8_t>> slots);

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
