// One chunk of content: of a stream the server sends (205 listing, 208 file,
// 212 batch) or of an upload (208). Arg1 holds the transfer id, Arg2 the
// chunk index, Arg4 1 when the payload is compressed; the payload holds up to
// kChunkSize bytes before compression. Chunks ask for no acknowledgement.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "wire/codes.h"
#include "wire/decoded.h"
#include "wire/packet.h"

namespace rk::wire {

struct Chunk {
    std::int32_t transfer_id = 0;
    std::int32_t index = 0;
    std::vector<std::uint8_t> bytes;  // plain

    // The header of a chunk whose payload goes as it is.
    static PacketHead head(Data code, std::int32_t transfer_id, std::int32_t index);
    // Compressed at zlib's default level where that pays, when `compress`.
    static Packet encode(Data code, std::int32_t transfer_id, std::int32_t index,
                         std::span<const std::uint8_t> bytes, bool compress);
    // Fails when a compressed payload does not inflate to at most kChunkSize
    // bytes. Plain bytes are taken as they are (moved, not copied): only the
    // receiver knows how many the chunk should hold.
    static Decoded<Chunk> decode(Packet packet);
};

}  // namespace rk::wire
