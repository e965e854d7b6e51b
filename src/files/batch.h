// Several small files packed into one stream for a single download: the
// names a batch request carries, and the stream built from them. Safe to
// call from any thread (the engine packs on a pool thread).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/env.h"

namespace rk::files {

// A file this large or larger is left out; the client fetches it alone.
inline constexpr std::uint64_t kBatchFileLimit = 225280;
// Packing stops after the entry that takes the stream past this size.
inline constexpr std::size_t kBatchStreamLimit = 1228800;
// More names than this in one request are not read: the stream would reach
// its limit long before.
inline constexpr std::size_t kMaxBatchNames = 65536;

struct BatchEntry {
    std::string wire_path;
    std::int32_t tag = 0;  // chosen by the client, echoed in the stream

    bool operator==(const BatchEntry&) const = default;
};

// The (path, tag) pairs of a batch request's plain payload, up to an empty
// path, the end of the data, or a pair cut short.
std::vector<BatchEntry> read_batch_request(std::span<const std::uint8_t> payload);

// Per entry in order: tag, i32 size, u32 attributes, u32 DOS date, then the
// bytes; tag and -1 with 8 zero bytes for a path refused or a file that will
// not open; no entry for a file of kBatchFileLimit bytes or more.
std::vector<std::uint8_t> pack_batch(platform::Env& env, const std::string& user_root,
                                     std::span<const BatchEntry> entries);

}  // namespace rk::files
