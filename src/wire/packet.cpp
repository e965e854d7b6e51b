#include "wire/packet.h"

#include <algorithm>

namespace rk::wire {

std::uint32_t packet_sum(std::span<const std::uint8_t> bytes) {
    std::uint32_t sum = 0;
    for (std::uint8_t b : bytes) sum += b;
    return sum;
}

bool checksum_ok(std::span<const std::uint8_t> packet) {
    return (packet_sum(packet) & 0xFF) == 0;
}

namespace {

void seal(std::vector<std::uint8_t>& bytes) {
    bytes[15] = 0;
    bytes[15] = std::uint8_t(-packet_sum(bytes));
}

}  // namespace

std::vector<std::uint8_t> encode_packet(const PacketHead& head,
                                        std::span<const std::uint8_t> payload) {
    std::vector<std::uint8_t> bytes(kHeaderSize + payload.size());
    std::uint8_t* p = bytes.data();
    store_u32(p, kMagic);
    store_u32(p + 4, std::uint32_t(bytes.size()));
    store_u32(p + 8, head.seq);
    p[12] = head.code;
    p[13] = head.kind;
    p[14] = head.want_ack;
    store_u32(p + 16, std::uint32_t(head.arg1));
    store_u32(p + 20, std::uint32_t(head.arg2));
    store_u32(p + 24, std::uint32_t(head.arg3));
    store_u32(p + 28, std::uint32_t(head.arg4));
    std::copy(payload.begin(), payload.end(), bytes.begin() + kHeaderSize);
    seal(bytes);
    return bytes;
}

std::vector<std::uint8_t> encode_ack(std::uint32_t send_seq, std::uint32_t acked_seq) {
    std::vector<std::uint8_t> bytes(kAckSize);
    std::uint8_t* p = bytes.data();
    store_u32(p, kMagic);
    store_u32(p + 4, kAckSize);
    store_u32(p + 8, send_seq);
    p[13] = std::uint8_t(Kind::ack);
    store_u32(p + 16, acked_seq);
    seal(bytes);
    return bytes;
}

std::optional<PacketHead> decode_head(std::span<const std::uint8_t> packet) {
    if (packet.size() < kAckSize) return std::nullopt;
    const std::uint8_t* p = packet.data();
    PacketHead h;
    h.length = load_u32(p + 4);
    h.seq = load_u32(p + 8);
    h.code = p[12];
    h.kind = p[13];
    h.want_ack = p[14];
    h.checksum = p[15];
    h.arg1 = std::int32_t(load_u32(p + 16));
    if (packet.size() >= kHeaderSize) {
        h.arg2 = std::int32_t(load_u32(p + 20));
        h.arg3 = std::int32_t(load_u32(p + 24));
        h.arg4 = std::int32_t(load_u32(p + 28));
    }
    return h;
}

std::optional<Packet> decode_packet(std::span<const std::uint8_t> packet) {
    auto head = decode_head(packet);
    if (!head || head->length > packet.size() || head->length < kAckSize) return std::nullopt;
    Packet out{*head, {}};
    if (head->length > kHeaderSize) {
        out.payload.assign(packet.begin() + kHeaderSize, packet.begin() + head->length);
    }
    return out;
}

}  // namespace rk::wire
