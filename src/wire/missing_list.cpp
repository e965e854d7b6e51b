#include "wire/missing_list.h"

#include <algorithm>
#include <string>

#include "wire/codes.h"
#include "wire/payload.h"

namespace rk::wire {

Packed MissingList::payload() const {
    PayloadWriter plain;
    const std::size_t listed = std::min(indices.size(), kMaxMissingListed);
    for (std::size_t i = 0; i < listed; ++i) plain.i32(indices[i]);
    return compress_if_pays(plain.data(), CompressLevel::max);
}

Packet MissingList::encode() const {
    Packet packet{packet_head(Data::missing_chunks, false), {}};
    Packed packed = payload();
    packet.head.arg1 = transfer_id;
    packet.head.arg2 = count;
    packet.head.arg4 = packed.compressed ? 1 : 0;
    packet.payload = std::move(packed.bytes);
    return packet;
}

Decoded<MissingList> MissingList::decode(const Packet& packet) {
    const PacketHead& h = packet.head;
    Decoded<MissingList> list{{h.arg1, h.arg2, {}}, {}};
    const CodecResult data =
        inflate_if_flagged(packet.payload, low_byte_flag(h.arg4), kMaxMissingListed * 4);
    if (!data.ok()) {
        list.error = "missing-chunk list: " + data.error;
        return list;
    }
    const std::size_t listed = data.bytes.size() / 4;
    if (data.bytes.size() % 4 != 0 || listed == 0 || listed > kMaxMissingListed ||
        h.arg2 < std::int32_t(listed)) {
        list.error = "missing-chunk list of " + std::to_string(data.bytes.size()) + " bytes for " +
                     std::to_string(h.arg2) + " chunks";
        return list;
    }
    PayloadReader reader(data.bytes);
    while (const auto index = reader.i32()) list.value.indices.push_back(*index);
    return list;
}

}  // namespace rk::wire
