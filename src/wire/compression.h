// The one rule for compressed payloads: a sender compresses where that pays
// and marks it in Arg4; a receiver inflates what is marked, never past a cap.
// Pure functions: safe to call from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "wire/zlib_codec.h"

namespace rk::wire {

// A payload ready to send: the bytes, and whether they are the compressed
// form (Arg4 = 1) or the plain one (Arg4 = 0).
struct Packed {
    std::vector<std::uint8_t> bytes;
    bool compressed = false;
};

// `plain` compressed at `level` when worth_compressing and compressed_pays
// (payload.h) allow it; otherwise, and when compression fails, `plain` as it is.
Packed compress_if_pays(std::span<const std::uint8_t> plain, CompressLevel level);

// `payload` inflated when `flagged`, failing as decompress does, past `cap`
// bytes included; otherwise `payload` as it is: its size is for the caller
// to judge.
CodecResult inflate_if_flagged(std::span<const std::uint8_t> payload, bool flagged,
                               std::size_t cap);

// Chunks and missing-chunk lists count as compressed when the low byte of
// Arg4 is set.
constexpr bool low_byte_flag(std::int32_t arg4) { return (arg4 & 0xFF) != 0; }

}  // namespace rk::wire
