#include "wire/framer.h"

#include <algorithm>
#include <array>

#include "wire/packet.h"

namespace rk::wire {

namespace {

constexpr std::array<std::uint8_t, 4> kMagicBytes{0x69, 0x24, 0x57, 0x13};

}  // namespace

void Framer::feed(std::span<const std::uint8_t> bytes) {
    if (!error_.empty()) return;
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

// Moves start_ to the next magic; keeps a partial magic at the end.
bool Framer::seek_magic() {
    auto begin = buffer_.begin() + std::ptrdiff_t(start_);
    auto found = std::search(begin, buffer_.end(), kMagicBytes.begin(), kMagicBytes.end());
    std::size_t at = std::size_t(found - buffer_.begin());
    if (found == buffer_.end()) {
        // The tail may hold the first bytes of a magic still on its way.
        std::size_t keep = 0;
        for (std::size_t n = std::min<std::size_t>(3, buffered()); n > 0; --n) {
            if (std::equal(buffer_.end() - std::ptrdiff_t(n), buffer_.end(), kMagicBytes.begin())) {
                keep = n;
                break;
            }
        }
        at = buffer_.size() - keep;
    }
    skipped_ += at - start_;
    start_ = at;
    return found != buffer_.end();
}

void Framer::compact() {
    if (start_ == buffer_.size()) {
        // Between packets an idle connection holds no large buffer.
        if (buffer_.capacity() > 64 * 1024) {
            std::vector<std::uint8_t>().swap(buffer_);
        } else {
            buffer_.clear();
        }
        start_ = 0;
    } else if (start_ > 64 * 1024 && start_ * 2 > buffer_.size()) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + std::ptrdiff_t(start_));
        start_ = 0;
    }
}

Framer::Result Framer::next(std::vector<std::uint8_t>& packet) {
    if (!error_.empty()) return Result::fatal;
    Result result = Result::need_more;
    if (seek_magic() && buffered() >= 8) {
        const std::uint32_t length = load_u32(buffer_.data() + start_ + 4);
        if (length < kAckSize || (length > kAckSize && length < kHeaderSize)) {
            error_ = "packet length too short for a header";
            return Result::fatal;
        }
        if (length > kMaxPacketLength) {
            error_ = "packet length above the limit";
            return Result::fatal;
        }
        if (buffered() >= length) {
            auto first = buffer_.begin() + std::ptrdiff_t(start_);
            packet.assign(first, first + length);
            start_ += length;
            result = Result::packet;
        }
    }
    compact();
    return result;
}

}  // namespace rk::wire
