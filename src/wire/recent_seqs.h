// Duplicate suppression: the sequence numbers of the last 100 distinct
// packets received from the peer. A resent packet is acknowledged again but
// acted on only once.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace rk::wire {

class RecentSeqs {
public:
    static constexpr std::size_t kWindow = 100;

    // True when `seq` is new: it is then remembered, pushing out the oldest
    // number beyond the window. False for a duplicate, which changes nothing.
    bool accept(std::uint32_t seq);

private:
    std::array<std::uint32_t, kWindow> seen_{};  // a ring; the oldest at next_ once full
    std::size_t count_ = 0;
    std::size_t next_ = 0;
    // No number remembered is above this, so a peer numbering upwards is
    // told apart from its duplicates without a search.
    std::uint32_t highest_ = 0;
};

}  // namespace rk::wire
