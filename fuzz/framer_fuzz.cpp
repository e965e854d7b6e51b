// Feeds arbitrary bytes, cut at arbitrary places, through the framer: every
// packet it yields must be whole, start with the magic, respect the length
// cap and decode; and the packets must frame the same way when fed again.
#include <cstdlib>
#include <vector>

#include "wire/framer.h"
#include "wire/packet.h"

namespace {

std::vector<std::vector<std::uint8_t>> frame(const std::uint8_t* data, std::size_t size,
                                             std::size_t step) {
    rk::wire::Framer framer;
    std::vector<std::vector<std::uint8_t>> packets;
    std::vector<std::uint8_t> packet;
    for (std::size_t at = 0; at < size; at += step) {
        framer.feed({data + at, std::min(step, size - at)});
        rk::wire::Framer::Result r;
        while ((r = framer.next(packet)) == rk::wire::Framer::Result::packet) packets.push_back(packet);
        if (r == rk::wire::Framer::Result::fatal) break;
    }
    return packets;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t step = 1 + data[0] % 64;
    const auto packets = frame(data + 1, size - 1, step);
    std::vector<std::uint8_t> again;
    for (const auto& p : packets) {
        if (p.size() < rk::wire::kAckSize || p.size() > rk::wire::kMaxPacketLength) std::abort();
        if (rk::wire::load_u32(p.data()) != rk::wire::kMagic) std::abort();
        const auto decoded = rk::wire::decode_packet(p);
        if (!decoded || decoded->head.length != p.size()) std::abort();
        (void)rk::wire::checksum_ok(p);
        again.insert(again.end(), p.begin(), p.end());
    }
    if (frame(again.data(), again.size(), again.size() + 1) != packets) std::abort();
    return 0;
}
