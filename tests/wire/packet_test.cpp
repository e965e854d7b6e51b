#include "wire/packet.h"

#include <gtest/gtest.h>

#include <string>

#include "wire/ack_ring.h"
#include "wire/codes.h"
#include "wire/recent_seqs.h"

namespace rk::wire {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(PacketSum, AddsEveryByteInAWrapping32BitSum) {
    const std::string abc = "abc";
    EXPECT_EQ(packet_sum({reinterpret_cast<const std::uint8_t*>(abc.data()), abc.size()}), 294u);
    EXPECT_EQ(packet_sum(Bytes(7, 0xFF)), 7u * 255u);
}

TEST(PacketSum, WordWideSumEqualsTheByteSumAtEveryLengthAndAlignment) {
    // Lengths around the block, word and lane-fold boundaries (16, 8 and
    // 1024 bytes), at every alignment, over bytes at their largest value too.
    Bytes bytes(4096 + 16);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = std::uint8_t(i * 131 + 7);
    const Bytes all_ones(bytes.size(), 0xFF);
    const Bytes* const sources[] = {&bytes, &all_ones};
    const std::size_t lengths[] = {0, 1, 7, 8, 9, 15, 16, 17, 31, 1023, 1024, 1025, 1056, 4096};
    for (const Bytes* source : sources) {
        for (const std::size_t length : lengths) {
            for (std::size_t offset = 0; offset < 8; ++offset) {
                const std::span<const std::uint8_t> part(source->data() + offset, length);
                std::uint32_t expected = 0;
                for (std::uint8_t b : part) expected += b;
                EXPECT_EQ(packet_sum(part), expected) << length << " at " << offset;
            }
        }
    }
}

TEST(PacketSum, OnlyTheLowByteDecidesValidity) {
    Bytes sums_to_0x300(3, 0xFF);
    sums_to_0x300.push_back(3);  // 0x2FD + 3
    EXPECT_TRUE(checksum_ok(sums_to_0x300));
    sums_to_0x300.back() = 4;  // 0x301
    EXPECT_FALSE(checksum_ok(sums_to_0x300));
}

TEST(Encoding, AcknowledgementMatchesHandComputedBytes) {
    // Acknowledging packet 7 on a connection whose last sent number is 5.
    const Bytes expected{0x69, 0x24, 0x57, 0x13, 0x14, 0x00, 0x00, 0x00, 0x05, 0x00,
                         0x00, 0x00, 0x00, 0x0D, 0x00, 0xDC, 0x07, 0x00, 0x00, 0x00};
    EXPECT_EQ(encode_ack(5, 7), expected);
    EXPECT_TRUE(checksum_ok(expected));
}

TEST(Encoding, ReplyMatchesHandComputedBytes) {
    // Logon accepted, numbered 3, bandwidth limit 100 kB/s, acknowledgement wanted.
    PacketHead head;
    head.seq = 3;
    head.code = 151;
    head.kind = std::uint8_t(Kind::reply);
    head.want_ack = kWantAck;
    head.arg1 = 100;
    Bytes expected{0x69, 0x24, 0x57, 0x13, 0x20, 0,    0,    0, 0x03, 0,
                   0,    0,    0x97, 0x0B, 0xFF, 0xE1, 0x64, 0, 0,    0};
    expected.resize(32, 0);
    EXPECT_EQ(encode_packet(head), expected);
}

TEST(Encoding, RequestWithPayloadMatchesHandComputedBytes) {
    // List folder "\1", numbered 7.
    PacketHead head;
    head.seq = 7;
    head.code = 105;
    head.kind = std::uint8_t(Kind::request);
    head.want_ack = kWantAck;
    const Bytes payload{0x5C, 0x31, 0x00};
    Bytes expected{0x69, 0x24, 0x57, 0x13, 0x23, 0, 0, 0, 0x07, 0, 0, 0, 0x69, 0x0A, 0xFF, 0xE0};
    expected.resize(32, 0);
    expected.insert(expected.end(), payload.begin(), payload.end());
    EXPECT_EQ(encode_packet(head, payload), expected);
}

TEST(Encoding, AppendedPacketsEqualTheirOwnEncodingAndLeaveEarlierBytesAlone) {
    PacketHead head;
    head.seq = 9;
    head.code = 208;
    head.kind = std::uint8_t(Kind::data);
    const Bytes payload(1024, 0xEE);
    const Bytes earlier{1, 2, 3};
    Bytes out = earlier;
    append_packet(out, head, payload);
    append_ack(out, 9, 4);
    append_packet(out, head);
    Bytes expected = earlier;
    for (const Bytes& part : {encode_packet(head, payload), encode_ack(9, 4), encode_packet(head)})
        expected.insert(expected.end(), part.begin(), part.end());
    EXPECT_EQ(out, expected);
}

TEST(Decoding, RoundTripsEveryFieldIncludingNegativeArguments) {
    PacketHead head;
    head.seq = 0xFFFFFFFEu;
    head.code = 206;
    head.kind = std::uint8_t(Kind::data);
    head.want_ack = kWantAck;
    head.arg1 = -1;
    head.arg2 = 0x00010020;
    head.arg3 = -2;
    head.arg4 = 0x7FFFFFFF;
    const Bytes payload{'\\', 'a', 0};
    const Bytes bytes = encode_packet(head, payload);
    const auto packet = decode_packet(bytes);
    ASSERT_TRUE(packet);
    EXPECT_EQ(packet->head.length, 35u);
    EXPECT_EQ(packet->head.seq, head.seq);
    EXPECT_EQ(packet->head.code, head.code);
    EXPECT_EQ(packet->head.kind, head.kind);
    EXPECT_EQ(packet->head.want_ack, head.want_ack);
    EXPECT_EQ(packet->head.arg1, -1);
    EXPECT_EQ(packet->head.arg2, 0x00010020);
    EXPECT_EQ(packet->head.arg3, -2);
    EXPECT_EQ(packet->head.arg4, 0x7FFFFFFF);
    EXPECT_EQ(packet->payload, payload);
}

TEST(Decoding, AcknowledgementHasNoArgumentsBeyondTheFirst) {
    const auto packet = decode_packet(encode_ack(0xFFFFFFFFu, 42));
    ASSERT_TRUE(packet);
    EXPECT_EQ(packet->head.kind, std::uint8_t(Kind::ack));
    EXPECT_EQ(packet->head.seq, 0xFFFFFFFFu);
    EXPECT_EQ(packet->head.arg1, 42);
    EXPECT_EQ(packet->head.arg2, 0);
    EXPECT_TRUE(packet->payload.empty());
}

TEST(Decoding, RefusesBytesShorterThanTheirLength) {
    Bytes bytes = encode_packet(PacketHead{}, Bytes(10, 1));
    bytes.pop_back();
    EXPECT_FALSE(decode_packet(bytes));
    EXPECT_FALSE(decode_packet(Bytes(19, 0)));
}

TEST(AckRing, FreshRingHoldsOnlyMinusOne) {
    AckRing ring;
    EXPECT_TRUE(ring.contains(0xFFFFFFFFu));
    EXPECT_FALSE(ring.contains(0));
}

TEST(AckRing, RepeatedNumberDoesNotAdvanceAndEleventhOverwritesFirst) {
    AckRing ring;
    for (std::uint32_t seq = 0; seq < 10; ++seq) {
        ring.add(seq);
        ring.add(seq);  // a repeat must not take a slot
    }
    for (std::uint32_t seq = 0; seq < 10; ++seq) EXPECT_TRUE(ring.contains(seq)) << seq;
    EXPECT_FALSE(ring.contains(0xFFFFFFFFu));
    ring.add(10);
    EXPECT_FALSE(ring.contains(0));
    EXPECT_TRUE(ring.contains(1));
    EXPECT_TRUE(ring.contains(10));
    ring.reset();
    EXPECT_FALSE(ring.contains(10));
}

TEST(RecentSeqs, RepeatWithinWindowIsDuplicateAndPushedOutNumberIsNewAgain) {
    RecentSeqs recent;
    EXPECT_TRUE(recent.accept(7));
    EXPECT_FALSE(recent.accept(7));
    for (std::uint32_t seq = 100; seq < 199; ++seq) ASSERT_TRUE(recent.accept(seq));
    EXPECT_FALSE(recent.accept(7)) << "7 is still one of the last 100";
    EXPECT_TRUE(recent.accept(199));  // pushes 7 out
    EXPECT_TRUE(recent.accept(7));
    EXPECT_FALSE(recent.accept(199));
}

TEST(RecentSeqs, NumbersThatGoDownOrWrapAroundAreStillTestedOneByOne) {
    RecentSeqs recent;
    for (const std::uint32_t seq : {0xFFFFFFFEu, 0xFFFFFFFFu, 0u, 1u, 50u, 20u})
        ASSERT_TRUE(recent.accept(seq)) << seq;
    for (const std::uint32_t seq : {0xFFFFFFFEu, 0xFFFFFFFFu, 0u, 1u, 50u, 20u})
        EXPECT_FALSE(recent.accept(seq)) << seq;
    // 20 was the last number, 50 the highest: one below and one above.
    EXPECT_TRUE(recent.accept(19));
    EXPECT_TRUE(recent.accept(51));
}

TEST(Codes, NamesFollowTheKind) {
    EXPECT_EQ(code_name(Kind::request, 101), "logon");
    EXPECT_EQ(code_name(Kind::reply, 160), "cannot_create");
    EXPECT_EQ(code_name(Kind::data, 206), "file_header");
    EXPECT_EQ(code_name(Kind::data, 101), "?");
    EXPECT_EQ(code_name(Kind::ack, 0), "ack");
    EXPECT_EQ(kind_name(Kind(99)), "?");
}

}  // namespace
}  // namespace rk::wire
