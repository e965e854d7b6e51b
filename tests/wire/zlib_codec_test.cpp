#include "wire/zlib_codec.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "wire_bytes.h"

namespace rk::wire {
namespace {

using namespace testing;

Bytes compressed(const Bytes& plain, CompressLevel level = CompressLevel::normal) {
    CodecResult result = compress(plain, level);
    EXPECT_TRUE(result.ok()) << result.error;
    return result.bytes;
}

struct LevelCase {
    const char* name;
    CompressLevel level;
    std::uint8_t second_header_byte;  // FLG: FLEVEL and the FCHECK that goes with it
};

class CompressLevels : public ::testing::TestWithParam<LevelCase> {};

TEST_P(CompressLevels, RoundTripsWithTheMatchingZlibHeader) {
    for (const Bytes& plain : {Bytes{}, Bytes{0x42}, text_bytes(70000), random_bytes(1024, 7)}) {
        const Bytes packed = compressed(plain, GetParam().level);
        ASSERT_GE(packed.size(), 6u);
        EXPECT_EQ(packed[0], 0x78);
        EXPECT_EQ(packed[1], GetParam().second_header_byte);

        const CodecResult unpacked = decompress(packed, plain.size());
        ASSERT_TRUE(unpacked.ok()) << unpacked.error << " for " << plain.size() << " bytes";
        EXPECT_EQ(unpacked.bytes, plain);
    }
}

INSTANTIATE_TEST_SUITE_P(AllLevels, CompressLevels,
                         ::testing::Values(LevelCase{"none", CompressLevel::none, 0x01},
                                           LevelCase{"fastest", CompressLevel::fastest, 0x01},
                                           LevelCase{"normal", CompressLevel::normal, 0x9C},
                                           LevelCase{"max", CompressLevel::max, 0xDA}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ZlibCodec, LevelNoneStoresTheBytesVerbatim) {
    const Bytes plain = text_bytes(300);
    const Bytes packed = compressed(plain, CompressLevel::none);
    // Header, one final stored block (BFINAL=1, BTYPE=00), LEN, NLEN, the
    // bytes, Adler-32.
    ASSERT_EQ(packed.size(), 2 + 5 + plain.size() + 4);
    EXPECT_EQ(packed[2], 0x01);
    EXPECT_EQ(packed[3] | packed[4] << 8, 300);
    EXPECT_EQ(packed[5] | packed[6] << 8, 0xFFFF ^ 300);
    EXPECT_TRUE(std::equal(plain.begin(), plain.end(), packed.begin() + 7));
}

TEST(ZlibCodec, CompressingTextShrinksIt) {
    const Bytes plain = text_bytes(4096);
    EXPECT_LT(compressed(plain).size(), plain.size() / 4);
}

TEST(ZlibCodec, EmptyInputIsAValidStream) {
    const Bytes packed = compressed({});
    const CodecResult unpacked = decompress(packed, 0);
    ASSERT_TRUE(unpacked.ok()) << unpacked.error;
    EXPECT_TRUE(unpacked.bytes.empty());
}

TEST(ZlibCodec, OutputCapIsInclusive) {
    const Bytes plain = random_bytes(1024, 11);
    const Bytes packed = compressed(plain);

    const CodecResult at_cap = decompress(packed, 1024);
    ASSERT_TRUE(at_cap.ok()) << at_cap.error;
    EXPECT_EQ(at_cap.bytes, plain);

    const CodecResult below_cap = decompress(packed, 1023);
    EXPECT_FALSE(below_cap.ok());
    EXPECT_TRUE(below_cap.bytes.empty());
}

TEST(ZlibCodec, BombFailsWithoutInflatingIt) {
    const Bytes packed = compressed(Bytes(std::size_t{10} << 20, 0), CompressLevel::max);
    ASSERT_LT(packed.size(), 20000u);

    const auto started = std::chrono::steady_clock::now();
    const CodecResult result = decompress(packed, 1024);
    EXPECT_FALSE(result.ok());
    // Inflating all 10 MB would still be quick; a generous bound only
    // catches a decoder that runs the whole stream or loops.
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
}

TEST(ZlibCodec, EveryTruncationFails) {
    const Bytes packed = compressed(text_bytes(5000));
    for (std::size_t keep = 0; keep < packed.size(); ++keep) {
        const Bytes cut(packed.begin(), packed.begin() + static_cast<std::ptrdiff_t>(keep));
        const CodecResult result = decompress(cut, 1 << 20);
        EXPECT_FALSE(result.ok()) << "stream cut to " << keep << " of " << packed.size();
    }
}

TEST(ZlibCodec, CorruptAdlerFails) {
    const Bytes plain = text_bytes(1000);
    for (std::size_t from_end = 1; from_end <= 4; ++from_end) {
        Bytes packed = compressed(plain);
        packed[packed.size() - from_end] ^= 0x01;
        const CodecResult result = decompress(packed, plain.size());
        EXPECT_FALSE(result.ok()) << "checksum byte " << from_end << " from the end";
    }
}

TEST(ZlibCodec, CorruptHeaderOrBodyFails) {
    const Bytes plain = text_bytes(1000);
    struct Damage {
        const char* what;
        std::size_t offset;
        std::uint8_t value;
    };
    for (const Damage& damage :
         {Damage{"method", 0, 0x79}, Damage{"header check", 1, 0x9D},
          Damage{"preset dictionary", 1, 0xBB}, Damage{"block type", 2, 0xFF}}) {
        Bytes packed = compressed(plain);
        packed[damage.offset] = damage.value;
        EXPECT_FALSE(decompress(packed, plain.size()).ok()) << damage.what;
    }
    EXPECT_FALSE(decompress(random_bytes(64, 3), 1 << 20).ok());
}

TEST(ZlibCodec, BytesAfterTheStreamAreIgnored) {
    const Bytes plain = text_bytes(777);
    Bytes packed = compressed(plain);
    packed.insert(packed.end(), {0xDE, 0xAD, 0xBE, 0xEF, 0x00});
    const CodecResult result = decompress(packed, plain.size());
    ASSERT_TRUE(result.ok()) << result.error;
    EXPECT_EQ(result.bytes, plain);
}

TEST(ZlibCodec, LargeOutputGrowsPastTheFirstGuess) {
    const Bytes plain = text_bytes(std::size_t{3} << 20);
    const CodecResult result = decompress(compressed(plain, CompressLevel::max), plain.size());
    ASSERT_TRUE(result.ok()) << result.error;
    EXPECT_EQ(result.bytes, plain);
}

}  // namespace
}  // namespace rk::wire
