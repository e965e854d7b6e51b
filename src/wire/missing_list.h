// The missing-chunk list (213) the server sends when an upload's first pass
// has left gaps: Arg1 holds the transfer id, Arg2 how many chunks are missing
// in all, Arg4 1 when the payload is compressed; the payload holds the lowest
// of them, at most kMaxMissingListed, as int32 each. Asks for no
// acknowledgement.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "wire/compression.h"
#include "wire/decoded.h"
#include "wire/packet.h"

namespace rk::wire {

inline constexpr std::size_t kMaxMissingListed = 1024;

struct MissingList {
    std::int32_t transfer_id = 0;
    std::int32_t count = 0;             // every chunk still missing
    std::vector<std::int32_t> indices;  // the lowest of them; beyond kMaxMissingListed unsent

    // The payload: the indices compressed at the best level where that pays.
    Packed payload() const;
    Packet encode() const;
    // Fails on a payload that does not inflate, holds no index, more than
    // kMaxMissingListed or more than `count`, or ends inside one.
    static Decoded<MissingList> decode(const Packet& packet);
};

}  // namespace rk::wire
