#include "wire/framer.h"

#include <algorithm>
#include <array>

#include "wire/packet.h"

namespace rk::wire {

namespace {

constexpr std::array<std::uint8_t, 4> kMagicBytes{0x69, 0x24, 0x57, 0x13};
// An idle connection keeps no larger buffer than this from one big packet.
constexpr std::size_t kIdleHold = 64 * 1024;

}  // namespace

void Framer::feed(View bytes) {
    if (!error_.empty()) return;
    held_.insert(held_.end(), bytes.begin(), bytes.end());
}

Framer::Scan Framer::scan(View bytes) {
    Scan found;
    const auto magic = std::search(bytes.begin(), bytes.end(), kMagicBytes.begin(),
                                   kMagicBytes.end());
    if (magic == bytes.end()) {
        // The tail may hold the first bytes of a magic still on its way.
        std::size_t keep = 0;
        for (std::size_t n = std::min<std::size_t>(3, bytes.size()); n > 0; --n) {
            if (std::equal(bytes.end() - std::ptrdiff_t(n), bytes.end(), kMagicBytes.begin())) {
                keep = n;
                break;
            }
        }
        found.skip = bytes.size() - keep;
        return found;
    }
    found.skip = std::size_t(magic - bytes.begin());
    const View rest = bytes.subspan(found.skip);
    if (rest.size() < 8) return found;
    const std::uint32_t length = load_u32(rest.data() + 4);
    if (length < kAckSize || (length > kAckSize && length < kHeaderSize)) {
        error_ = "packet length too short for a header";
        found.result = Result::fatal;
        return found;
    }
    if (length > kMaxPacketLength) {
        error_ = "packet length above the limit";
        found.result = Result::fatal;
        return found;
    }
    found.length = length;
    if (rest.size() >= length) found.result = Result::packet;
    return found;
}

Framer::Result Framer::next_held(View& incoming, View& packet) {
    for (;;) {
        const Scan found = scan(View(held_).subspan(start_));
        skipped_ += found.skip;
        start_ += found.skip;
        if (found.result == Result::fatal) return Result::fatal;
        if (found.result == Result::packet) {
            packet = View(held_).subspan(start_, found.length);
            start_ += found.length;
            return Result::packet;
        }
        compact();
        if (incoming.empty()) return Result::need_more;
        // Only as many bytes as the packet still lacks, or as make its
        // Length readable; the rest is read where it lies.
        const std::size_t want =
            found.length > buffered() ? found.length - buffered() : 8 - std::min<std::size_t>(8, buffered());
        const std::size_t moved = std::min(std::max<std::size_t>(want, 1), incoming.size());
        held_.insert(held_.end(), incoming.begin(), incoming.begin() + std::ptrdiff_t(moved));
        incoming = incoming.subspan(moved);
    }
}

void Framer::compact() {
    if (start_ == held_.size()) {
        if (held_.capacity() > kIdleHold) {
            std::vector<std::uint8_t>().swap(held_);
        } else {
            held_.clear();
        }
        start_ = 0;
    } else if (start_ > 0 && (start_ > kIdleHold || start_ * 2 > held_.size())) {
        held_.erase(held_.begin(), held_.begin() + std::ptrdiff_t(start_));
        start_ = 0;
    }
}

Framer::Result Framer::next(View& packet) {
    if (!error_.empty()) return Result::fatal;
    View none;
    return next_held(none, packet);
}

}  // namespace rk::wire
