// Byte helpers the codec tests share: payloads written out by hand, so that
// a test pins the layout rather than trusting the encoder it checks.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "wire/zlib_codec.h"

namespace rk::wire::testing {

using Bytes = std::vector<std::uint8_t>;

inline Bytes bytes_of(std::string_view text) { return Bytes(text.begin(), text.end()); }

inline Bytes join(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline void put_u32(Bytes& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(std::uint8_t(v >> (8 * i)));
}

inline Bytes text_bytes(std::size_t size) {
    const std::string phrase = "the quick brown fox jumps over the lazy dog; ";
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = std::uint8_t(phrase[i % phrase.size()]);
    return bytes;
}

inline Bytes random_bytes(std::size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    Bytes bytes(size);
    for (auto& byte : bytes) byte = std::uint8_t(generator());
    return bytes;
}

inline Bytes zlib_of(const Bytes& plain, CompressLevel level = CompressLevel::normal) {
    return compress(plain, level).bytes;
}

}  // namespace rk::wire::testing
