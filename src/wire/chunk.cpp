#include "wire/chunk.h"

#include "wire/compression.h"
#include "wire/payload.h"

namespace rk::wire {

PacketHead Chunk::head(Data code, std::int32_t transfer_id, std::int32_t index) {
    PacketHead head = packet_head(code, false);
    head.arg1 = transfer_id;
    head.arg2 = index;
    return head;
}

Packet Chunk::encode(Data code, std::int32_t transfer_id, std::int32_t index,
                     std::span<const std::uint8_t> bytes, bool compress) {
    Packet packet{head(code, transfer_id, index), {}};
    if (compress) {
        Packed packed = compress_if_pays(bytes, CompressLevel::normal);
        packet.payload = std::move(packed.bytes);
        packet.head.arg4 = packed.compressed ? 1 : 0;
    } else {
        packet.payload.assign(bytes.begin(), bytes.end());
    }
    return packet;
}

Decoded<Chunk> Chunk::decode(Packet packet) {
    const PacketHead& h = packet.head;
    Decoded<Chunk> chunk{{h.arg1, h.arg2, {}}, {}};
    if (!low_byte_flag(h.arg4)) {
        chunk.value.bytes = std::move(packet.payload);
        return chunk;
    }
    CodecResult data = decompress(packet.payload, kChunkSize);
    chunk.error = std::move(data.error);
    chunk.value.bytes = std::move(data.bytes);
    return chunk;
}

}  // namespace rk::wire
