#include "wire/framer.h"

#include <gtest/gtest.h>

#include "wire/packet.h"

namespace rk::wire {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes request(std::uint32_t seq, std::size_t payload_size) {
    PacketHead head;
    head.seq = seq;
    head.code = 105;
    head.kind = std::uint8_t(Kind::request);
    head.want_ack = kWantAck;
    Bytes payload(payload_size);
    for (std::size_t i = 0; i < payload_size; ++i) payload[i] = std::uint8_t(i * 7 + seq);
    return encode_packet(head, payload);
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// Feeds `stream` in pieces cut at `cuts` and collects every packet, once
// through feed() and next() and once through take(); both must agree. Each
// piece taken lives only during its take(), as a reused read buffer would.
std::vector<Bytes> frame(const Bytes& stream, std::vector<std::size_t> cuts,
                         Framer::Result* last = nullptr) {
    cuts.push_back(stream.size());
    Framer fed;
    Framer taking;
    std::vector<Bytes> packets;
    std::vector<Bytes> taken;
    std::size_t from = 0;
    Framer::Result result = Framer::Result::need_more;
    Framer::Result take_result = Framer::Result::need_more;
    for (std::size_t to : cuts) {
        const Bytes piece(stream.begin() + std::ptrdiff_t(from), stream.begin() + std::ptrdiff_t(to));
        from = to;
        if (result != Framer::Result::fatal) {
            fed.feed(piece);
            Framer::View packet;
            while ((result = fed.next(packet)) == Framer::Result::packet)
                packets.emplace_back(packet.begin(), packet.end());
        }
        if (take_result != Framer::Result::fatal) {
            take_result = taking.take(std::span(piece), [&](Framer::View packet) {
                taken.emplace_back(packet.begin(), packet.end());
            });
        }
    }
    EXPECT_EQ(taken, packets);
    EXPECT_EQ(take_result, result);
    EXPECT_EQ(taking.skipped(), fed.skipped());
    if (last) *last = result;
    return packets;
}

TEST(Framer, EverySplitOfTwoPacketsYieldsBothInOrder) {
    const Bytes a = request(1, 40);
    const Bytes b = encode_ack(3, 9);
    const Bytes stream = concat({a, b});
    for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
        const auto packets = frame(stream, {cut});
        ASSERT_EQ(packets.size(), 2u) << "cut at " << cut;
        EXPECT_EQ(packets[0], a) << "cut at " << cut;
        EXPECT_EQ(packets[1], b) << "cut at " << cut;
    }
}

TEST(Framer, OneByteAtATimeAndManyPacketsInOneRead) {
    Bytes stream;
    std::vector<Bytes> sent;
    for (std::uint32_t seq = 0; seq < 20; ++seq) {
        sent.push_back(seq % 3 ? request(seq, seq * 50) : encode_ack(seq, seq));
        stream.insert(stream.end(), sent.back().begin(), sent.back().end());
    }
    std::vector<std::size_t> every_byte;
    for (std::size_t i = 1; i < stream.size(); ++i) every_byte.push_back(i);
    EXPECT_EQ(frame(stream, every_byte), sent);
    EXPECT_EQ(frame(stream, {}), sent);
}

TEST(Framer, SkipsGarbageUpToTheNextMagic) {
    const Bytes a = request(5, 10);
    struct Case {
        const char* name;
        Bytes garbage;
    };
    const Case cases[] = {
        {"plain noise", {1, 2, 3, 4, 5, 6, 7, 8, 9}},
        {"partial magic", {0x69, 0x24, 0x57, 0x00, 0x69, 0x24}},
        {"magic prefix at the end", {0xAA, 0x69, 0x24, 0x57}},
        {"single byte", {0x13}},
    };
    for (const Case& c : cases) {
        const Bytes stream = concat({c.garbage, a});
        for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
            const auto packets = frame(stream, {cut});
            ASSERT_EQ(packets.size(), 1u) << c.name << ", cut at " << cut;
            EXPECT_EQ(packets[0], a) << c.name << ", cut at " << cut;
        }
    }
}

// Two reads, cut at every byte: inside a header, a payload, the garbage
// between packets or a magic that the garbage almost repeats.
TEST(Framer, GarbageBetweenPacketsAtEverySplit) {
    const Bytes a = request(1, 1024);
    const Bytes b = encode_ack(2, 1);
    const Bytes c = request(3, 5);
    const Bytes noise{0x69, 0x24, 0x57, 0x00, 0xAA, 0x69};
    const Bytes near_magic{0x13, 0x69, 0x24, 0x57};
    const Bytes stream = concat({a, noise, b, near_magic, c, noise});
    const std::vector<Bytes> sent{a, b, c};
    for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
        Framer::Result last;
        EXPECT_EQ(frame(stream, {cut}, &last), sent) << "cut at " << cut;
        EXPECT_EQ(last, Framer::Result::need_more) << "cut at " << cut;
    }
}

// A Length no packet can have, after a good packet and some garbage: the
// good one is handed out, then the stream is fatal wherever the reads split
// it, and nothing after the bad Length comes out.
TEST(Framer, FatalLengthAfterAGoodPacketAtEverySplit) {
    const Bytes good = request(1, 100);
    Bytes bad = request(2, 0);
    store_u32(bad.data() + 4, kMaxPacketLength + 1);
    const Bytes stream = concat({good, {1, 2, 3}, bad, request(3, 10)});
    for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
        Framer::Result last;
        EXPECT_EQ(frame(stream, {cut}, &last), std::vector<Bytes>{good}) << "cut at " << cut;
        EXPECT_EQ(last, Framer::Result::fatal) << "cut at " << cut;
    }
}

TEST(Framer, PacketWithBadChecksumIsFramedAndTheNextOneStillArrives) {
    Bytes bad = request(1, 8);
    bad[36] ^= 0x5A;
    const Bytes good = request(2, 8);
    const auto packets = frame(concat({bad, good}), {});
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_FALSE(checksum_ok(packets[0]));
    EXPECT_TRUE(checksum_ok(packets[1]));
}

TEST(Framer, LengthNoPacketCanHaveIsFatal) {
    const std::uint32_t lengths[] = {0, 8, 19, 21, 31, kMaxPacketLength + 1, 0xFFFFFFFFu};
    for (std::uint32_t length : lengths) {
        Bytes bytes = request(1, 0);
        store_u32(bytes.data() + 4, length);
        Framer::Result last;
        EXPECT_TRUE(frame(bytes, {}, &last).empty()) << length;
        EXPECT_EQ(last, Framer::Result::fatal) << length;
    }
}

TEST(Framer, FatalStaysFatalAndLargestLegalLengthWaits) {
    Framer framer;
    Bytes bytes = request(1, 0);
    store_u32(bytes.data() + 4, kMaxPacketLength);
    framer.feed(bytes);
    Framer::View packet;
    EXPECT_EQ(framer.next(packet), Framer::Result::need_more);

    Framer broken;
    store_u32(bytes.data() + 4, 3);
    broken.feed(bytes);
    EXPECT_EQ(broken.next(packet), Framer::Result::fatal);
    EXPECT_FALSE(broken.error().empty());
    broken.feed(request(2, 0));
    EXPECT_EQ(broken.next(packet), Framer::Result::fatal);
}

TEST(Framer, PayloadThatContainsTheMagicIsNotCut) {
    PacketHead head;
    head.kind = std::uint8_t(Kind::data);
    const Bytes payload{0x69, 0x24, 0x57, 0x13, 0x14, 0, 0, 0, 0x69, 0x24, 0x57, 0x13};
    const Bytes p = encode_packet(head, payload);
    const auto packets = frame(p, {32, 36});
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0], p);
}

}  // namespace
}  // namespace rk::wire
