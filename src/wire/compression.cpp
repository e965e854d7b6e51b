#include "wire/compression.h"

#include "wire/payload.h"

namespace rk::wire {

Packed compress_if_pays(std::span<const std::uint8_t> plain, CompressLevel level) {
    if (worth_compressing(plain.size())) {
        CodecResult packed = compress(plain, level);
        if (packed.ok() && compressed_pays(plain.size(), packed.bytes.size()))
            return {std::move(packed.bytes), true};
    }
    return {std::vector<std::uint8_t>(plain.begin(), plain.end()), false};
}

CodecResult inflate_if_flagged(std::span<const std::uint8_t> payload, bool flagged,
                               std::size_t cap) {
    if (flagged) return decompress(payload, cap);
    CodecResult plain;
    plain.bytes.assign(payload.begin(), payload.end());
    return plain;
}

}  // namespace rk::wire
