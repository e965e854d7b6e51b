// Writes to a FileStream that mostly follow one another (a file arriving a
// kilobyte at a time), gathered into large writes: one seek and one write
// per block instead of per piece. Pieces are written in the order given, so
// a later piece over an earlier one wins as it would unbuffered.
// REQUIRES: external synchronization (one user of the stream).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <system_error>
#include <vector>

#include "support/file_stream.h"

namespace rk::support {

class GatheredWrites {
public:
    static constexpr std::size_t kBlock = 256 * 1024;

    // Gathers `data` for the file at `offset`; writes what was gathered
    // first when `data` does not follow it, and the block once it is full.
    // The stream's error when a write fails; what was gathered is then gone.
    std::error_code write_at(FileStream& stream, std::uint64_t offset,
                             std::span<const std::uint8_t> data);
    // Writes what was gathered.
    std::error_code flush(FileStream& stream);
    // Forgets what was gathered and gives its memory back.
    void drop();

private:
    std::vector<std::uint8_t> gathered_;
    std::uint64_t at_ = 0;
};

}  // namespace rk::support
