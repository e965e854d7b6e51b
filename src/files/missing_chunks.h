// The chunk indices an upload still lacks, kept as ranges so that a client
// declaring a huge file and sending nothing costs a few map nodes, not one
// entry per chunk. REQUIRES: external synchronization.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

namespace rk::files {

class MissingChunks {
public:
    // Adds [first, end); indices already present are not counted twice.
    void insert(std::int64_t first, std::int64_t end);
    // Nothing happens when `index` was not missing.
    void erase(std::int64_t index);
    void clear();

    bool empty() const { return count_ == 0; }
    std::int64_t count() const { return count_; }
    // The lowest `limit` indices, in ascending order.
    std::vector<std::int64_t> first(std::size_t limit) const;

private:
    std::map<std::int64_t, std::int64_t> ranges_;  // first -> end, disjoint, never adjacent
    std::int64_t count_ = 0;
};

}  // namespace rk::files
