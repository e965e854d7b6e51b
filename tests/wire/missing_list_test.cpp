#include "wire/missing_list.h"

#include <gtest/gtest.h>

#include "wire/codes.h"
#include "wire_bytes.h"

namespace rk::wire {
namespace {

using namespace testing;

std::vector<std::int32_t> run(std::int32_t first, std::int32_t n) {
    std::vector<std::int32_t> out;
    for (std::int32_t i = 0; i < n; ++i) out.push_back(first + i);
    return out;
}

Bytes int32s(const std::vector<std::int32_t>& indices) {
    Bytes out;
    for (std::int32_t index : indices) put_u32(out, std::uint32_t(index));
    return out;
}

Packet list_packet(Bytes payload, std::int32_t count, std::int32_t arg4) {
    Packet p{packet_head(Data::missing_chunks, false), std::move(payload)};
    p.head.arg1 = 5;
    p.head.arg2 = count;
    p.head.arg4 = arg4;
    return p;
}

TEST(MissingList, EncodesTheFirstIndicesCompressedWhereItPays) {
    const struct {
        const char* what;
        std::int32_t count;
        std::vector<std::int32_t> indices;
        std::size_t sent;
        bool compressed;
    } cases[] = {
        {"a few travel plain", 3, {0, 7, 9}, 3, false},
        {"56 indices are 224 bytes: never tried", 56, run(0, 56), 56, false},
        {"300 indices compress", 300, run(0, 300), 300, true},
        {"beyond 1024 indices stay home", 2000, run(0, 2000), 1024, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Packet p = MissingList{5, c.count, c.indices}.encode();
        EXPECT_EQ(p.head.kind, std::uint8_t(Kind::data));
        EXPECT_EQ(p.head.code, code_of(Data::missing_chunks));
        EXPECT_EQ(p.head.want_ack, 0);
        EXPECT_EQ(p.head.arg1, 5);
        EXPECT_EQ(p.head.arg2, c.count);
        EXPECT_EQ(p.head.arg4, c.compressed ? 1 : 0);
        const std::vector<std::int32_t> sent(c.indices.begin(),
                                             c.indices.begin() + std::ptrdiff_t(c.sent));
        const Bytes plain = c.compressed ? decompress(p.payload, 1 << 20).bytes : p.payload;
        EXPECT_EQ(plain, int32s(sent));
        if (c.compressed) {
            EXPECT_EQ(p.payload.at(1), 0xDA) << "the best level";
        }

        const Decoded<MissingList> back = MissingList::decode(p);
        ASSERT_TRUE(back.ok()) << back.error;
        EXPECT_EQ(back.value.transfer_id, 5);
        EXPECT_EQ(back.value.count, c.count);
        EXPECT_EQ(back.value.indices, sent);
    }
}

TEST(MissingList, DecodeTrustsNoCountAndInflatesNoMoreThanAFullList) {
    const Bytes three = int32s({1, 2, 3});
    const Bytes full = int32s(run(0, 1024));
    const struct {
        const char* what;
        Packet packet;
        bool ok;
    } cases[] = {
        {"plain", list_packet(three, 3, 0), true},
        {"compressed", list_packet(zlib_of(full), 5000, 1), true},
        {"more listed than missing", list_packet(three, 2, 0), false},
        {"a negative count", list_packet(three, -1, 0), false},
        {"empty", list_packet({}, 0, 0), false},
        {"ends inside an index", list_packet(Bytes(three.begin(), three.end() - 1), 3, 0), false},
        {"more than a full list", list_packet(int32s(run(0, 1025)), 2000, 0), false},
        {"inflates past a full list", list_packet(zlib_of(int32s(run(0, 1025))), 2000, 1), false},
        {"marked but plain", list_packet(three, 3, 1), false},
        {"a mark above the low byte is no mark", list_packet(three, 3, 0x100), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Decoded<MissingList> back = MissingList::decode(c.packet);
        EXPECT_EQ(back.ok(), c.ok) << back.error;
        if (!c.ok) {
            EXPECT_TRUE(back.value.indices.empty());
        }
    }
}

}  // namespace
}  // namespace rk::wire
