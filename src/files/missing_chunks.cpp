#include "files/missing_chunks.h"

#include <algorithm>
#include <iterator>

namespace rk::files {

void MissingChunks::insert(std::int64_t first, std::int64_t end) {
    if (first >= end) return;
    auto next = ranges_.upper_bound(first);
    if (next != ranges_.begin()) {
        auto before = std::prev(next);
        if (before->second >= first) {
            first = before->first;
            end = std::max(end, before->second);
            count_ -= before->second - before->first;
            ranges_.erase(before);
        }
    }
    while (next != ranges_.end() && next->first <= end) {
        end = std::max(end, next->second);
        count_ -= next->second - next->first;
        next = ranges_.erase(next);
    }
    ranges_.emplace(first, end);
    count_ += end - first;
}

void MissingChunks::erase(std::int64_t index) {
    auto holder = ranges_.upper_bound(index);
    if (holder == ranges_.begin()) return;
    --holder;
    const auto [first, end] = *holder;
    if (index >= end) return;
    ranges_.erase(holder);
    if (first < index) ranges_.emplace(first, index);
    if (index + 1 < end) ranges_.emplace(index + 1, end);
    --count_;
}

void MissingChunks::clear() {
    ranges_.clear();
    count_ = 0;
}

std::vector<std::int64_t> MissingChunks::first(std::size_t limit) const {
    std::vector<std::int64_t> out;
    out.reserve(std::min<std::size_t>(limit, static_cast<std::size_t>(count_)));
    for (const auto& [first, end] : ranges_) {
        for (std::int64_t index = first; index < end; ++index) {
            if (out.size() == limit) return out;
            out.push_back(index);
        }
    }
    return out;
}

}  // namespace rk::files
