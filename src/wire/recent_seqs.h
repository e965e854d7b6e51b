// Duplicate suppression: the sequence numbers of the last 100 distinct
// packets received from the peer. A resent packet is acknowledged again but
// acted on only once.
#pragma once

#include <cstdint>
#include <deque>

namespace rk::wire {

class RecentSeqs {
public:
    static constexpr std::size_t kWindow = 100;

    // True when `seq` is new: it is then remembered, pushing out the oldest
    // number beyond the window. False for a duplicate, which changes nothing.
    bool accept(std::uint32_t seq);

private:
    std::deque<std::uint32_t> seen_;
};

}  // namespace rk::wire
