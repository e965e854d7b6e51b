#include "wire/chunk.h"

#include "wire/compression.h"
#include "wire/payload.h"

namespace rk::wire {

Packet Chunk::encode(Data code, std::int32_t transfer_id, std::int32_t index,
                     std::span<const std::uint8_t> bytes, bool compress) {
    Packet packet{packet_head(code, false), {}};
    packet.head.arg1 = transfer_id;
    packet.head.arg2 = index;
    if (compress) {
        Packed packed = compress_if_pays(bytes, CompressLevel::normal);
        packet.payload = std::move(packed.bytes);
        packet.head.arg4 = packed.compressed ? 1 : 0;
    } else {
        packet.payload.assign(bytes.begin(), bytes.end());
    }
    return packet;
}

Decoded<Chunk> Chunk::decode(const Packet& packet) {
    const PacketHead& h = packet.head;
    Decoded<Chunk> chunk{{h.arg1, h.arg2, {}}, {}};
    CodecResult data = inflate_if_flagged(packet.payload, low_byte_flag(h.arg4), kChunkSize);
    chunk.error = std::move(data.error);
    chunk.value.bytes = std::move(data.bytes);
    return chunk;
}

}  // namespace rk::wire
