#include "wire/packet.h"

#include <algorithm>
#include <cstring>

namespace rk::wire {

std::uint32_t packet_sum(std::span<const std::uint8_t> bytes) {
    // Each 64-bit word adds its even and its odd bytes into four 16-bit
    // lanes, 510 at most per word, so the lanes are folded into the total
    // before 128 words could overflow them.
    constexpr std::uint64_t kLowBytes = 0x00FF00FF00FF00FFull;
    constexpr std::size_t kWordsPerFold = 128;
    const std::uint8_t* p = bytes.data();
    std::size_t left = bytes.size();
    std::uint32_t sum = 0;
    while (left >= 8) {
        const std::size_t words = std::min(left / 8, kWordsPerFold);
        std::uint64_t lanes = 0;
        for (std::size_t i = 0; i < words; ++i) {
            std::uint64_t word;
            std::memcpy(&word, p + i * 8, 8);
            lanes += (word & kLowBytes) + ((word >> 8) & kLowBytes);
        }
        lanes = (lanes & 0x0000FFFF0000FFFFull) + ((lanes >> 16) & 0x0000FFFF0000FFFFull);
        sum += std::uint32_t(lanes) + std::uint32_t(lanes >> 32);
        p += words * 8;
        left -= words * 8;
    }
    for (std::size_t i = 0; i < left; ++i) sum += p[i];
    return sum;
}

bool checksum_ok(std::span<const std::uint8_t> packet) {
    return (packet_sum(packet) & 0xFF) == 0;
}

namespace {

// Makes the byte sum of `packet`, whose CheckSum byte is 0, come to 0.
void seal(std::span<std::uint8_t> packet) { packet[15] = std::uint8_t(-packet_sum(packet)); }

}  // namespace

void append_packet(std::vector<std::uint8_t>& out, const PacketHead& head,
                   std::span<const std::uint8_t> payload) {
    const std::size_t at = out.size();
    const std::size_t length = kHeaderSize + payload.size();
    out.resize(at + length);
    std::uint8_t* p = out.data() + at;
    store_u32(p, kMagic);
    store_u32(p + 4, std::uint32_t(length));
    store_u32(p + 8, head.seq);
    p[12] = head.code;
    p[13] = head.kind;
    p[14] = head.want_ack;
    p[15] = 0;
    store_u32(p + 16, std::uint32_t(head.arg1));
    store_u32(p + 20, std::uint32_t(head.arg2));
    store_u32(p + 24, std::uint32_t(head.arg3));
    store_u32(p + 28, std::uint32_t(head.arg4));
    if (!payload.empty()) std::memcpy(p + kHeaderSize, payload.data(), payload.size());
    seal({p, length});
}

std::vector<std::uint8_t> encode_packet(const PacketHead& head,
                                        std::span<const std::uint8_t> payload) {
    std::vector<std::uint8_t> bytes;
    bytes.reserve(kHeaderSize + payload.size());
    append_packet(bytes, head, payload);
    return bytes;
}

void append_ack(std::vector<std::uint8_t>& out, std::uint32_t send_seq, std::uint32_t acked_seq) {
    const std::size_t at = out.size();
    out.resize(at + kAckSize, 0);
    std::uint8_t* p = out.data() + at;
    store_u32(p, kMagic);
    store_u32(p + 4, kAckSize);
    store_u32(p + 8, send_seq);
    p[13] = std::uint8_t(Kind::ack);
    store_u32(p + 16, acked_seq);
    seal({p, kAckSize});
}

std::vector<std::uint8_t> encode_ack(std::uint32_t send_seq, std::uint32_t acked_seq) {
    std::vector<std::uint8_t> bytes;
    append_ack(bytes, send_seq, acked_seq);
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
