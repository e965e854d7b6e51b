#include "wire/batch.h"

#include <gtest/gtest.h>

#include <ostream>

#include "wire/codes.h"
#include "wire_bytes.h"

namespace rk::wire {

void PrintTo(const BatchName& n, std::ostream* out) {
    *out << "{" << n.wire_path << " " << n.tag << "}";
}

namespace {

using namespace testing;
using namespace std::string_literals;

std::string tag_bytes(std::int32_t tag) {
    std::string out;
    for (int i = 0; i < 4; ++i) out.push_back(char(std::uint32_t(tag) >> (8 * i)));
    return out;
}

Packet request_packet(Bytes payload, std::int32_t arg4) {
    Packet p{packet_head(Request::download_batch, true), std::move(payload)};
    p.head.arg4 = arg4;
    return p;
}

TEST(BatchRequestTest, ReadsPairsUntilAnEmptyPathOrTheEndOfTheData) {
    const std::string a = "\\a.sav"s + '\0' + tag_bytes(1);
    const std::string b = "\\S\xC4ve\\b"s + '\0' + tag_bytes(-2);
    const std::vector<BatchName> both = {{"\\a.sav", 1}, {"\\S\xC4ve\\b", -2}};
    const std::vector<BatchName> only_a = {{"\\a.sav", 1}};
    struct Case {
        const char* what;
        std::string payload;
        std::vector<BatchName> expected;
    };
    const Case cases[] = {
        {"ended by an empty path", a + b + '\0' + "c"s + '\0' + tag_bytes(3), both},
        {"ended by the end of the data", a + b, both},
        {"tag cut short", a + "\\b"s + '\0' + tag_bytes(5).substr(0, 3), only_a},
        {"tag missing", a + "\\b"s + '\0', only_a},
        {"path without its NUL", a + "\\b", only_a},
        {"nothing", "", {}},
        {"an empty path first", "\0"s + a, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(read_batch_request(bytes_of(c.payload)), c.expected);
    }
}

TEST(BatchRequestTest, ReadsNoMoreThanTheNameCap) {
    std::string payload;
    for (std::size_t i = 0; i < kMaxBatchNames + 100; ++i)
        payload += "n"s + '\0' + tag_bytes(std::int32_t(i));
    const auto entries = read_batch_request(bytes_of(payload));
    ASSERT_EQ(entries.size(), kMaxBatchNames);
    EXPECT_EQ(entries.back().tag, std::int32_t(kMaxBatchNames - 1));
}

TEST(BatchRequestTest, EncodesPairsThenAnEmptyPathCompressedWhereItPays) {
    const BatchRequest two{{{"\\a", 0}, {"\\b", -1}}};
    const Packet plain = two.encode();
    EXPECT_EQ(plain.head.kind, std::uint8_t(Kind::request));
    EXPECT_EQ(plain.head.code, code_of(Request::download_batch));
    EXPECT_EQ(plain.head.want_ack, kWantAck);
    EXPECT_EQ(plain.head.arg4, 0);
    EXPECT_EQ(plain.payload,
              bytes_of("\\a"s + '\0' + tag_bytes(0) + "\\b" + '\0' + tag_bytes(-1) + '\0'));

    BatchRequest many;
    for (int i = 0; i < 100; ++i) many.names.push_back({"\\1\\SAVE" + std::to_string(i), i});
    const Packet packed = many.encode();
    EXPECT_EQ(packed.head.arg4, 1);
    const Decoded<BatchRequest> back = BatchRequest::decode(packed);
    ASSERT_TRUE(back.ok()) << back.error;
    EXPECT_EQ(back.value.names, many.names);
}

TEST(BatchRequestTest, DecodeInflatesWhatIsMarkedWithinItsCap) {
    const Bytes names = bytes_of("\\a"s + '\0' + tag_bytes(4) + '\0');
    Bytes truncated = zlib_of(names);
    truncated.pop_back();
    Bytes over_cap = zlib_of(Bytes(kMaxBatchRequest + 1, 0), CompressLevel::max);
    const struct {
        const char* what;
        Packet packet;
        bool ok;
        std::size_t names;
    } cases[] = {
        {"plain", request_packet(names, 0), true, 1},
        {"compressed", request_packet(zlib_of(names), 1), true, 1},
        {"any Arg4 but 0 marks it", request_packet(zlib_of(names), 0x100), true, 1},
        {"marked but plain", request_packet(names, 1), false, 0},
        {"marked but truncated", request_packet(truncated, 1), false, 0},
        {"inflates past the cap", request_packet(over_cap, 1), false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Decoded<BatchRequest> back = BatchRequest::decode(c.packet);
        EXPECT_EQ(back.ok(), c.ok) << back.error;
        EXPECT_EQ(back.value.names.size(), c.names);
    }
}

TEST(BatchHeaderTest, ArgumentsRoundTrip) {
    const Packet p = BatchHeader{5000, 12}.encode();
    EXPECT_EQ(p.head.kind, std::uint8_t(Kind::request));
    EXPECT_EQ(p.head.code, code_of(Request::batch_header));
    EXPECT_EQ(p.head.want_ack, kWantAck);
    EXPECT_EQ(p.head.arg1, 0);
    EXPECT_EQ(p.head.arg2, 3);
    EXPECT_EQ(p.head.arg3, 5000);
    EXPECT_EQ(p.head.arg4, 12);
    const BatchHeader back = BatchHeader::decode(p.head);
    EXPECT_EQ(back.size, 5000);
    EXPECT_EQ(back.transfer_id, 12);
    EXPECT_TRUE(back.possible());
    EXPECT_FALSE((BatchHeader{-1, 0}.possible()));
}

TEST(BatchStream, WriterLaysOutEntriesAndTheDecoderReadsThemBack) {
    BatchStreamWriter w;
    w.file(7, 0x21, 0x1234, bytes_of("hello"));
    w.unopened(-9);
    w.file(3, 0x20, -1, {});
    Bytes expected;
    for (std::uint32_t v : {7u, 5u, 0x21u, 0x1234u}) put_u32(expected, v);
    for (char ch : "hello"s) expected.push_back(std::uint8_t(ch));
    for (std::uint32_t v : {std::uint32_t(-9), 0xFFFFFFFFu, 0u, 0u}) put_u32(expected, v);
    for (std::uint32_t v : {3u, 0u, 0x20u, 0xFFFFFFFFu}) put_u32(expected, v);
    EXPECT_EQ(w.size(), expected.size());
    const Bytes stream = w.take();
    EXPECT_EQ(stream, expected);

    const auto back = decode_batch_stream(stream);
    ASSERT_TRUE(back.ok()) << back.error;
    ASSERT_EQ(back.value.size(), 3u);
    EXPECT_EQ(back.value[0].tag, 7);
    EXPECT_EQ(back.value[0].length, 5);
    EXPECT_EQ(back.value[0].attributes, 0x21u);
    EXPECT_EQ(back.value[0].dos_date, 0x1234);
    EXPECT_EQ(back.value[0].bytes, bytes_of("hello"));
    EXPECT_EQ(back.value[1].tag, -9);
    EXPECT_EQ(back.value[1].length, -1);
    EXPECT_EQ(back.value[2].length, 0);
    EXPECT_EQ(back.value[2].dos_date, -1);
}

TEST(BatchStream, DecoderNeverReadsPastItsBytesNorTrustsALength) {
    BatchStreamWriter w;
    w.file(1, 0, 0, bytes_of("abc"));
    const Bytes one = w.take();
    const auto cut = [&](std::size_t n) {
        return Bytes(one.begin(), one.begin() + std::ptrdiff_t(n));
    };
    Bytes negative;
    for (std::uint32_t v : {1u, std::uint32_t(-2), 0u, 0u}) put_u32(negative, v);
    Bytes huge;
    for (std::uint32_t v : {1u, 0x7FFFFFFFu, 0u, 0u}) put_u32(huge, v);
    const struct {
        const char* what;
        Bytes bytes;
        bool ok;
        std::size_t entries;
    } cases[] = {
        {"nothing", {}, true, 0},
        {"whole", one, true, 1},
        {"ends inside the head", cut(15), false, 0},
        {"ends inside the bytes", cut(18), false, 0},
        {"a second head cut short", join(one, cut(4)), false, 1},
        {"a negative length other than -1", negative, false, 0},
        {"a length past the end", huge, false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto back = decode_batch_stream(c.bytes);
        EXPECT_EQ(back.ok(), c.ok) << back.error;
        EXPECT_EQ(back.value.size(), c.entries);
    }
}

}  // namespace
}  // namespace rk::wire
