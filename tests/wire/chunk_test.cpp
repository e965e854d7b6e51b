#include "wire/chunk.h"

#include <gtest/gtest.h>

#include "wire/payload.h"
#include "wire_bytes.h"

namespace rk::wire {
namespace {

using namespace testing;

TEST(Chunk, EncodesIdIndexAndTheCompressedFormWhereItPays) {
    const struct {
        const char* what;
        Bytes bytes;
        bool compress;
        std::int32_t arg4;
    } cases[] = {
        {"compression off", text_bytes(1024), false, 0},
        {"compressible", text_bytes(1024), true, 1},
        {"too small to try", text_bytes(224), true, 0},
        {"incompressible", random_bytes(1024, 9), true, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Packet p = Chunk::encode(Data::listing_chunk, 7, 3, c.bytes, c.compress);
        EXPECT_EQ(p.head.kind, std::uint8_t(Kind::data));
        EXPECT_EQ(p.head.code, code_of(Data::listing_chunk));
        EXPECT_EQ(p.head.want_ack, 0);
        EXPECT_EQ(p.head.arg1, 7);
        EXPECT_EQ(p.head.arg2, 3);
        EXPECT_EQ(p.head.arg4, c.arg4);
        if (c.arg4 == 0) {
            EXPECT_EQ(p.payload, c.bytes);
        }

        const Decoded<Chunk> back = Chunk::decode(p);
        ASSERT_TRUE(back.ok()) << back.error;
        EXPECT_EQ(back.value.transfer_id, 7);
        EXPECT_EQ(back.value.index, 3);
        EXPECT_EQ(back.value.bytes, c.bytes);
    }
}

TEST(Chunk, DecodeRefusesCompressedPayloadsThatDoNotInflateWithinAChunk) {
    Bytes truncated = zlib_of(text_bytes(1024));
    truncated.pop_back();
    const struct {
        const char* what;
        Bytes payload;
        std::int32_t arg4;
        bool ok;
    } cases[] = {
        {"exactly a chunk", zlib_of(text_bytes(kChunkSize)), 1, true},
        {"one byte more", zlib_of(text_bytes(kChunkSize + 1)), 1, false},
        {"truncated", truncated, 1, false},
        {"not zlib", text_bytes(300), 1, false},
        {"marked in the low byte only", zlib_of(text_bytes(10)), 0x7F01, true},
        {"a mark above the low byte is no mark", text_bytes(300), 0x100, true},
        // Plain bytes are for the receiver to judge against the chunk it expects.
        {"plain and larger than a chunk", text_bytes(kChunkSize + 1), 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Packet p{packet_head(Data::file_chunk, false), c.payload};
        p.head.arg4 = c.arg4;
        const Decoded<Chunk> back = Chunk::decode(p);
        EXPECT_EQ(back.ok(), c.ok) << back.error;
        if (!c.ok) {
            EXPECT_TRUE(back.value.bytes.empty());
        }
    }
}

}  // namespace
}  // namespace rk::wire
