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
#include "wire/batch.h"

namespace rk::files {

// A file this large or larger is left out; the client fetches it alone.
inline constexpr std::uint64_t kBatchFileLimit = 225280;
// Packing stops after the entry that takes the stream past this size.
inline constexpr std::size_t kBatchStreamLimit = 1228800;
// The names of a batch request, read by wire/batch.h.
using BatchEntry = wire::BatchName;

// The batch stream (wire/batch.h): per name in order an entry with the file's
// bytes, an unopened entry for a path refused or a file that will not open,
// and no entry for a file of kBatchFileLimit bytes or more.
std::vector<std::uint8_t> pack_batch(platform::Env& env, const std::string& user_root,
                                     std::span<const BatchEntry> entries);

}  // namespace rk::files
