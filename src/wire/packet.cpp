#include "wire/packet.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace rk::wire {

std::uint32_t packet_sum(std::span<const std::uint8_t> bytes) {
    const std::uint8_t* p = bytes.data();
    std::size_t left = bytes.size();
    std::uint32_t sum = 0;
#if defined(__SSE2__)
    // Sums of absolute differences against zero add sixteen bytes at a time
    // into two 64-bit lanes.
    const __m128i zero = _mm_setzero_si128();
    __m128i lanes = _mm_setzero_si128();
    for (; left >= 16; p += 16, left -= 16) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        lanes = _mm_add_epi64(lanes, _mm_sad_epu8(block, zero));
    }
    sum += std::uint32_t(_mm_cvtsi128_si64(lanes)) +
           std::uint32_t(_mm_cvtsi128_si64(_mm_unpackhi_epi64(lanes, lanes)));
#endif
    // Each 64-bit word adds its even and its odd bytes into four 16-bit
    // lanes, 510 at most per word, so the lanes are folded into the total
    // before 128 words could overflow them.
    constexpr std::uint64_t kLowBytes = 0x00FF00FF00FF00FFull;
    constexpr std::size_t kWordsPerFold = 128;
    while (left >= 8) {
        const std::size_t words = std::min(left / 8, kWordsPerFold);
        std::uint64_t lanes16 = 0;
        for (std::size_t i = 0; i < words; ++i) {
            std::uint64_t word;
            std::memcpy(&word, p + i * 8, 8);
            lanes16 += (word & kLowBytes) + ((word >> 8) & kLowBytes);
        }
        lanes16 = (lanes16 & 0x0000FFFF0000FFFFull) + ((lanes16 >> 16) & 0x0000FFFF0000FFFFull);
        sum += std::uint32_t(lanes16) + std::uint32_t(lanes16 >> 32);
        p += words * 8;
        left -= words * 8;
    }
    for (std::size_t i = 0; i < left; ++i) sum += p[i];
    return sum;
}

bool checksum_ok(std::span<const std::uint8_t> packet) { return (packet_sum(packet) & 0xFF) == 0; }

namespace {

// Makes the byte sum of `packet`, whose CheckSum byte is 0, come to 0.
void seal(std::span<std::uint8_t> packet) { packet[15] = std::uint8_t(-packet_sum(packet)); }

}  // namespace

void write_head(std::span<std::uint8_t> packet, const PacketHead& head) {
    std::uint8_t* p = packet.data();
    store_u32(p, kMagic);
    store_u32(p + 4, std::uint32_t(packet.size()));
    store_u32(p + 8, head.seq);
    p[12] = head.code;
    p[13] = head.kind;
    p[14] = head.want_ack;
    p[15] = 0;
    store_u32(p + 16, std::uint32_t(head.arg1));
    store_u32(p + 20, std::uint32_t(head.arg2));
    store_u32(p + 24, std::uint32_t(head.arg3));
    store_u32(p + 28, std::uint32_t(head.arg4));
    seal(packet);
}

void append_packet(std::vector<std::uint8_t>& out, const PacketHead& head,
                   std::span<const std::uint8_t> payload) {
    const std::size_t at = out.size();
    out.resize(at + kHeaderSize + payload.size());
    if (!payload.empty())
        std::memcpy(out.data() + at + kHeaderSize, payload.data(), payload.size());
    write_head(std::span(out).subspan(at), head);
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
