// The last ten sequence numbers the peer has acknowledged. A sender that
// waits for an acknowledgement asks whether its number is in the ring.
#pragma once

#include <array>
#include <cstdint>

namespace rk::wire {

class AckRing {
public:
    AckRing() { reset(); }

    // Every slot -1 (so 0xFFFFFFFF reads as present), next slot 0.
    void reset();
    // A number already present changes nothing; otherwise it overwrites the
    // oldest slot.
    void add(std::uint32_t seq);
    bool contains(std::uint32_t seq) const;

private:
    static constexpr std::size_t kSlots = 10;
    std::array<std::uint32_t, kSlots> slots_{};
    std::size_t next_ = 0;
};

}  // namespace rk::wire
