#include "wire/ack_ring.h"

#include <algorithm>

namespace rk::wire {

void AckRing::reset() {
    slots_.fill(0xFFFFFFFFu);
    next_ = 0;
}

void AckRing::add(std::uint32_t seq) {
    if (contains(seq)) return;
    slots_[next_] = seq;
    next_ = (next_ + 1) % kSlots;
}

bool AckRing::contains(std::uint32_t seq) const {
    return std::find(slots_.begin(), slots_.end(), seq) != slots_.end();
}

}  // namespace rk::wire
