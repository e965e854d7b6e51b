// The packet frame every message travels in: a 32-byte header and a payload,
// or a 20-byte acknowledgement. Fields are serialised explicitly
// little-endian; received bytes are never cast to a struct.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace rk::wire {

inline constexpr std::uint32_t kMagic = 0x13572469;
inline constexpr std::size_t kHeaderSize = 32;
inline constexpr std::size_t kAckSize = 20;
// The version a client must announce at logon; it also heads the account file.
inline constexpr std::int32_t kProtocolVersion = 131095;
// No honest packet comes near this; a larger Length is a corrupt stream.
inline constexpr std::uint32_t kMaxPacketLength = 4u << 20;

inline constexpr std::uint8_t kWantAck = 255;

enum class Kind : std::uint8_t { request = 10, reply = 11, data = 12, ack = 13 };

struct PacketHead {
    std::uint32_t length = 0;
    std::uint32_t seq = 0;
    std::uint8_t code = 0;
    std::uint8_t kind = 0;
    std::uint8_t want_ack = 0;
    std::uint8_t checksum = 0;
    std::int32_t arg1 = 0;
    std::int32_t arg2 = 0;
    std::int32_t arg3 = 0;
    std::int32_t arg4 = 0;
};

// A complete packet as received: its header and its payload bytes.
struct Packet {
    PacketHead head;
    std::vector<std::uint8_t> payload;
};

// The wrapping 32-bit byte sum of `bytes`, many bytes at a time.
std::uint32_t packet_sum(std::span<const std::uint8_t> bytes);

// True when the whole packet's byte sum is 0 modulo 256.
bool checksum_ok(std::span<const std::uint8_t> packet);

// Serialises a packet: Length, Magic and CheckSum are filled in here; the
// rest of `head` is taken as given.
std::vector<std::uint8_t> encode_packet(const PacketHead& head,
                                        std::span<const std::uint8_t> payload = {});
// The same bytes appended to `out`, which senders reuse from one packet to
// the next so that nothing is allocated per packet.
void append_packet(std::vector<std::uint8_t>& out, const PacketHead& head,
                   std::span<const std::uint8_t> payload = {});
// Writes the header of `head` in front of the payload that already fills
// `packet` past its first kHeaderSize bytes, and seals it.
void write_head(std::span<std::uint8_t> packet, const PacketHead& head);

// The 20-byte acknowledgement of `acked_seq`, numbered with the sender's
// current `send_seq` (acknowledgements do not advance it).
std::vector<std::uint8_t> encode_ack(std::uint32_t send_seq, std::uint32_t acked_seq);
void append_ack(std::vector<std::uint8_t>& out, std::uint32_t send_seq, std::uint32_t acked_seq);

// Reads a header from the start of a complete packet. Needs at least the
// 20 bytes of an acknowledgement; fields that a short packet lacks read as 0.
std::optional<PacketHead> decode_head(std::span<const std::uint8_t> packet);

// Splits a complete packet into header and payload; nullopt when shorter
// than its own Length says or too short for a header.
std::optional<Packet> decode_packet(std::span<const std::uint8_t> packet);

// Little-endian field access on byte buffers of known size.
inline std::uint32_t load_u32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}
inline void store_u32(std::uint8_t* p, std::uint32_t v) {
    p[0] = std::uint8_t(v);
    p[1] = std::uint8_t(v >> 8);
    p[2] = std::uint8_t(v >> 16);
    p[3] = std::uint8_t(v >> 24);
}

inline void store_u64(std::uint8_t* p, std::uint64_t v) {
    store_u32(p, std::uint32_t(v));
    store_u32(p + 4, std::uint32_t(v >> 32));
}

}  // namespace rk::wire
