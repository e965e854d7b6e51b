#include "wire/compression.h"

#include <gtest/gtest.h>

#include "wire_bytes.h"

namespace rk::wire {
namespace {

using namespace testing;

TEST(CompressIfPays, SendsTheCompressedFormOnlyWhenItPays) {
    struct Case {
        const char* what;
        Bytes plain;
        bool compressed;
    };
    const Case cases[] = {
        {"empty", {}, false},
        {"224 bytes are never tried", text_bytes(224), false},
        {"225 compressible bytes", text_bytes(225), true},
        {"1024 compressible bytes", text_bytes(1024), true},
        {"1024 random bytes grow", random_bytes(1024, 5), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Packed packed = compress_if_pays(c.plain, CompressLevel::normal);
        EXPECT_EQ(packed.compressed, c.compressed);
        if (!c.compressed) {
            EXPECT_EQ(packed.bytes, c.plain);
            continue;
        }
        EXPECT_LT(packed.bytes.size() + 32, c.plain.size());
        EXPECT_EQ(decompress(packed.bytes, c.plain.size()).bytes, c.plain);
    }
}

TEST(CompressIfPays, UsesTheLevelAsked) {
    // The second zlib header byte tells the level.
    EXPECT_EQ(compress_if_pays(text_bytes(1000), CompressLevel::normal).bytes.at(1), 0x9C);
    EXPECT_EQ(compress_if_pays(text_bytes(1000), CompressLevel::max).bytes.at(1), 0xDA);
}

TEST(InflateIfFlagged, InflatesOnlyWhatIsMarkedAndNeverPastTheCap) {
    const Bytes plain = text_bytes(1024);
    const Bytes packed = zlib_of(plain);
    Bytes truncated = packed;
    truncated.resize(truncated.size() / 2);
    struct Case {
        const char* what;
        Bytes payload;
        bool flagged;
        std::size_t cap;
        bool ok;
        Bytes expected;
    };
    const Case cases[] = {
        {"plain is taken as it is", plain, false, 10, true, plain},
        {"plain zlib bytes are not inflated", packed, false, 1024, true, packed},
        {"flagged inflates", packed, true, 1024, true, plain},
        {"flagged past the cap", packed, true, 1023, false, {}},
        {"flagged but truncated", truncated, true, 1024, false, {}},
        {"flagged but not zlib", plain, true, 1024, false, {}},
        {"flagged and empty", {}, true, 1024, false, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const CodecResult result = inflate_if_flagged(c.payload, c.flagged, c.cap);
        EXPECT_EQ(result.ok(), c.ok) << result.error;
        EXPECT_EQ(result.bytes, c.expected);
    }
}

TEST(LowByteFlag, OnlyTheLowByteCounts) {
    EXPECT_FALSE(low_byte_flag(0));
    EXPECT_TRUE(low_byte_flag(1));
    EXPECT_TRUE(low_byte_flag(0xFF));
    EXPECT_FALSE(low_byte_flag(0x100));
    EXPECT_TRUE(low_byte_flag(-1));
}

}  // namespace
}  // namespace rk::wire
