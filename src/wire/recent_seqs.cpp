#include "wire/recent_seqs.h"

#include <algorithm>

namespace rk::wire {

bool RecentSeqs::accept(std::uint32_t seq) {
    const bool above_all = count_ == 0 || seq > highest_;
    if (!above_all && std::find(seen_.begin(), seen_.begin() + std::ptrdiff_t(count_), seq) !=
                          seen_.begin() + std::ptrdiff_t(count_)) {
        return false;
    }
    seen_[next_] = seq;
    next_ = (next_ + 1) % kWindow;
    count_ = std::min(count_ + 1, kWindow);
    if (above_all) highest_ = seq;
    return true;
}

}  // namespace rk::wire
