#include "wire/recent_seqs.h"

#include <algorithm>

namespace rk::wire {

bool RecentSeqs::accept(std::uint32_t seq) {
    if (std::find(seen_.begin(), seen_.end(), seq) != seen_.end()) return false;
    seen_.push_back(seq);
    if (seen_.size() > kWindow) seen_.pop_front();
    return true;
}

}  // namespace rk::wire
