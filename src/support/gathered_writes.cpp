#include "support/gathered_writes.h"

namespace rk::support {

std::error_code GatheredWrites::write_at(FileStream& stream, std::uint64_t offset,
                                         std::span<const std::uint8_t> data) {
    if (!gathered_.empty() && offset != at_ + gathered_.size()) {
        if (const auto ec = flush(stream)) return ec;
    }
    if (gathered_.empty()) {
        gathered_.reserve(kBlock);
        at_ = offset;
    }
    gathered_.insert(gathered_.end(), data.begin(), data.end());
    if (gathered_.size() >= kBlock) return flush(stream);
    return {};
}

std::error_code GatheredWrites::flush(FileStream& stream) {
    if (gathered_.empty()) return {};
    const bool written = stream.seek64(std::int64_t(at_), platform::SeekOrigin::begin) &&
                         stream.write(gathered_) == gathered_.size();
    gathered_.clear();
    if (written) return {};
    // A short write with no error kept still must not pass for a whole one.
    return stream.error() ? stream.error() : std::make_error_code(std::errc::io_error);
}

void GatheredWrites::drop() { std::vector<std::uint8_t>().swap(gathered_); }

}  // namespace rk::support
