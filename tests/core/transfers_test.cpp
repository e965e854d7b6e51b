// Streams, uploads and storage requests over real loopback sockets, seen
// packet by packet from the client's side.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <thread>
#include <tuple>

#include "accounts/account_file.h"
#include "client/connection.h"
#include "client/transfers.h"
#include "core/server.h"
#include "files/listing.h"
#include "support/file_stream.h"
#include "testing/temp_dir.h"
#include "wire/zlib_codec.h"
#include "wire/codes.h"
#include "wire/payload.h"

namespace rk::core {
namespace {

using namespace std::chrono_literals;
using client::Connection;
using Bytes = std::vector<std::uint8_t>;
using wire::Data;
using wire::code_of;
using wire::Kind;
using wire::Reply;
using wire::Request;

constexpr auto kWait = 5s;
constexpr auto kNoAnswer = 300ms;


Bytes path_payload(std::string_view path) {
    wire::PayloadWriter w;
    w.zstr(path);
    return w.take();
}

// Bytes that differ from chunk to chunk, so a chunk sent or stored at the
// wrong index shows; four at a time, since some tests move 64 MiB.
Bytes pattern(std::size_t size, std::uint8_t seed = 1) {
    Bytes b(size + 3);
    std::uint32_t x = 0x9E3779B9u ^ seed;
    for (std::size_t i = 0; i < size; i += 4) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        std::memcpy(b.data() + i, &x, 4);
    }
    b.resize(size);
    return b;
}

std::string as_string(const Bytes& b) {
    return {reinterpret_cast<const char*>(b.data()), b.size()};
}

class TransfersTest : public ::testing::Test {
protected:
    void start(bool manual_clock = false, std::uint16_t bandwidth = 0) {
        accounts::AccountImage image;
        image.accounts = {{"alice", "pw", false}};
        image.settings.bandwidth = bandwidth;
        const auto file = accounts::encode_account_file(image);
        home_.write_file("rkServer.cfg", as_string(file.bytes));
        home_.make_dir("alice");
        server_ = std::make_unique<Server>(
            ServerOptions{.home = home_.path(),
                          .port = 0,
                          .address = "127.0.0.1",
                          .ticks = manual_clock ? &manual_ticks_ : nullptr});
        server_->open();
        ASSERT_FALSE(server_->start_service());
        std::error_code ec;
        conn_ = Connection::connect("127.0.0.1", server_->endpoint()->port(), ec,
                                    {.ack_timeout = kWait, .answer_timeout = kWait});
        ASSERT_TRUE(conn_);
        ASSERT_EQ(conn_->logon("alice", "pw").status, client::Logon::accepted);
    }

    std::string user(const std::string& relative) { return home_.path("alice/" + relative); }

    // The next packet, skipping nothing; fails the test on silence.
    wire::Packet next() {
        auto p = conn_->receive(kWait);
        EXPECT_TRUE(p) << "no packet from the server";
        return p ? *p : wire::Packet{};
    }

    // Gathers the chunks of transfer `id` until the server asks with 122,
    // then answers 121 (all there) or 120 (go on from the first gap).
    Bytes collect(std::int32_t id, std::uint64_t size, std::set<std::uint64_t> drop_once = {}) {
        std::map<std::uint64_t, Bytes> chunks;
        for (;;) {
            auto p = conn_->receive(kWait);
            if (!p) {
                ADD_FAILURE() << "stream stalled";
                return {};
            }
            if (Kind(p->head.kind) == Kind::data && p->head.arg1 == id) {
                const auto index = std::uint64_t(std::uint32_t(p->head.arg2));
                if (drop_once.erase(index)) continue;
                Bytes body = p->payload;
                if (p->head.arg4 == 1) body = wire::decompress(body, 1024).bytes;
                chunks[index] = body;
            } else if (p->head.code == code_of(Request::end_of_pass) && p->head.arg1 == id) {
                std::uint64_t first_gap = 0;
                while (chunks.count(first_gap)) ++first_gap;
                if (first_gap >= wire::chunk_count(size)) {
                    conn_->send(Kind::request, code_of(Request::transfer_received), {id, 0, 0, 0});
                    break;
                }
                conn_->send(Kind::request, code_of(Request::resend_from),
                            {id, std::int32_t(first_gap), 0, 0});
            }
        }
        Bytes all;
        for (auto& [index, body] : chunks) all.insert(all.end(), body.begin(), body.end());
        return all;
    }

    platform::testing::TempDir home_;
    support::ManualTickSource manual_ticks_;
    std::unique_ptr<Server> server_;
    std::unique_ptr<Connection> conn_;
};

TEST_F(TransfersTest, DownloadResendsFromTheClientsIndexAndEndsOn121) {
    start();
    const Bytes content = pattern(5000);
    home_.write_file("alice/SAVE.DAT", as_string(content));
    conn_->send(Kind::request, code_of(Request::download_file), {}, path_payload("\\save.dat"));
    const auto header = next();
    ASSERT_EQ(header.head.code, code_of(Data::file_header));
    EXPECT_EQ(wire::unpack_size(header.head.arg1, header.head.arg2), 5000u);
    EXPECT_EQ(wire::zstr_at(header.payload), "\\save.dat") << "the name as the client sent it";
    // Chunks 1 and 3 are lost on the way: the 120 brings them again.
    EXPECT_EQ(collect(header.head.arg4, 5000, {1, 3}), content);
    EXPECT_FALSE(conn_->receive(kNoAnswer)) << "nothing follows the 121";

    // The stream is over, so the next download starts at once.
    conn_->send(Kind::request, code_of(Request::download_file), {}, path_payload("\\SAVE.DAT"));
    const auto again = next();
    ASSERT_EQ(again.head.code, code_of(Data::file_header));
    EXPECT_NE(again.head.arg4, header.head.arg4) << "each transfer gets its own id";
    EXPECT_EQ(collect(again.head.arg4, 5000), content);
}

// Sizes around a chunk, around the largest file a batch carries, past the
// blocks files are read and written in, and one large file.
constexpr std::size_t kRoundTripSizes[] = {
    0, 1, 1023, 1024, 1025, 225279, 225280, (1u << 20) + 7, 64u << 20,
};

TEST_F(TransfersTest, DownloadDeliversEveryByteWhateverTheSize) {
    start();
    platform::testing::TempDir local;
    for (const std::size_t size : kRoundTripSizes) {
        SCOPED_TRACE(size);
        const Bytes content = pattern(size, std::uint8_t(size));
        home_.write_file("alice/SAVE.DAT", as_string(content));
        const auto got = client::download(*conn_, "\\SAVE.DAT", local.path("SAVE.DAT"));
        ASSERT_EQ(got.status, client::Transfer::done) << got.detail;
        EXPECT_EQ(got.size, size);
        EXPECT_TRUE(local.read_file("SAVE.DAT") == as_string(content)) << "the bytes differ";
    }
}

TEST_F(TransfersTest, UploadStoresEveryByteWhateverTheSize) {
    start();
    platform::testing::TempDir local;
    for (const std::size_t size : kRoundTripSizes) {
        SCOPED_TRACE(size);
        const Bytes content = pattern(size, std::uint8_t(size + 1));
        local.write_file("SAVE.DAT", as_string(content));
        const auto sent = client::upload(*conn_, local.path("SAVE.DAT"), "\\SAVE.DAT");
        ASSERT_EQ(sent.status, client::Transfer::done) << sent.detail;
        EXPECT_EQ(sent.chunks_resent, 0u);
        EXPECT_TRUE(home_.read_file("alice/SAVE.DAT") == as_string(content)) << "the bytes differ";
    }
}

// Chunks left out of the first pass, one of them inside the last block the
// server still gathers when the pass ends, come again through the missing
// list and land where they belong.
TEST_F(TransfersTest, UploadWithChunksLeftOutIsRepairedByteForByte) {
    start();
    platform::testing::TempDir local;
    const Bytes content = pattern((1u << 20) + 7, 5);
    local.write_file("SAVE.DAT", as_string(content));
    const auto left_out = [](std::uint64_t index) { return index % 97 == 3 || index == 1020; };
    std::uint64_t expected_resent = 0;
    for (std::uint64_t i = 0; i < wire::chunk_count(content.size()); ++i)
        expected_resent += left_out(i);
    client::UploadOptions options;
    options.skip_on_first_pass = left_out;
    const auto sent = client::upload(*conn_, local.path("SAVE.DAT"), "\\SAVE.DAT", options);
    ASSERT_EQ(sent.status, client::Transfer::done) << sent.detail;
    EXPECT_EQ(sent.chunks_resent, expected_resent);
    EXPECT_TRUE(home_.read_file("alice/SAVE.DAT") == as_string(content)) << "the bytes differ";
}

// The first pass reads whole chunks straight into the queue, 64 at a time;
// a chunk asked for again from the middle of such a read must carry exactly
// the file's bytes as it did then, the short last one included.
TEST_F(TransfersTest, ChunkAskedForAgainCarriesTheSamePayload) {
    // The clock stands still, so the pass is asked about only once.
    start(/*manual_clock=*/true);
    const Bytes content = pattern(130 * 1024 + 7, 3);
    home_.write_file("alice/SAVE.DAT", as_string(content));
    conn_->send(Kind::request, code_of(Request::download_file), {}, path_payload("\\SAVE.DAT"));
    const auto header = next();
    ASSERT_EQ(header.head.code, code_of(Data::file_header));
    const std::int32_t id = header.head.arg4;
    const std::size_t chunks = wire::chunk_count(content.size());

    // Every chunk of a pass, by index, until the pass's question.
    const auto pass = [&] {
        std::map<std::int32_t, wire::Packet> got;
        for (;;) {
            auto p = next();
            if (p.head.code == code_of(Request::end_of_pass)) return got;
            if (Kind(p.head.kind) != Kind::data) {
                ADD_FAILURE() << "unexpected packet " << int(p.head.code);
                return got;
            }
            got[p.head.arg2] = std::move(p);
        }
    };
    const auto first = pass();
    ASSERT_EQ(first.size(), chunks);
    for (const auto& [index, packet] : first) {
        const auto from = std::size_t(index) * 1024;
        EXPECT_TRUE(packet.payload ==
                    Bytes(content.begin() + std::ptrdiff_t(from),
                          content.begin() + std::ptrdiff_t(std::min(from + 1024, content.size()))))
            << "chunk " << index << " does not hold the file's bytes";
    }
    constexpr std::int32_t kFrom = 70;
    conn_->send(Kind::request, code_of(Request::resend_from), {id, kFrom, 0, 0});
    const auto again = pass();
    conn_->send(Kind::request, code_of(Request::transfer_received), {id, 0, 0, 0});
    ASSERT_EQ(again.size(), chunks - kFrom);
    for (const auto& [index, copy] : again) {
        const wire::Packet& packet = first.at(index);
        EXPECT_NE(copy.head.seq, packet.head.seq) << "chunk " << index << " is a new packet";
        EXPECT_EQ(copy.head.code, packet.head.code) << "chunk " << index;
        EXPECT_EQ(copy.head.want_ack, packet.head.want_ack) << "chunk " << index;
        EXPECT_EQ(std::tie(copy.head.arg1, copy.head.arg2, copy.head.arg3, copy.head.arg4),
                  std::tie(packet.head.arg1, packet.head.arg2, packet.head.arg3, packet.head.arg4))
            << "chunk " << index;
        EXPECT_EQ(copy.payload, packet.payload) << "chunk " << index;
    }
}

// A file replaced by an upload while it is being sent: the download goes on
// with the bytes it started with, chunks asked for again included, and the
// new file is in place afterwards.
TEST_F(TransfersTest, FileReplacedMidDownloadIsSentAsItWas) {
    start();
    const Bytes old_content = pattern(4u << 20, 11);
    const Bytes new_content = pattern((3u << 20) + 5, 12);
    home_.write_file("alice/SAVE.DAT", as_string(old_content));
    conn_->send(Kind::request, code_of(Request::download_file), {}, path_payload("\\SAVE.DAT"));
    const auto header = next();
    ASSERT_EQ(header.head.code, code_of(Data::file_header));

    // The download waits for this connection to read; another replaces the file.
    std::error_code ec;
    auto other = Connection::connect("127.0.0.1", server_->endpoint()->port(), ec,
                                     {.ack_timeout = kWait, .answer_timeout = kWait});
    ASSERT_TRUE(other);
    ASSERT_EQ(other->logon("alice", "pw").status, client::Logon::accepted);
    platform::testing::TempDir local;
    local.write_file("SAVE.DAT", as_string(new_content));
    const auto sent = client::upload(*other, local.path("SAVE.DAT"), "\\SAVE.DAT");
    ASSERT_EQ(sent.status, client::Transfer::done) << sent.detail;
    ASSERT_TRUE(home_.read_file("alice/SAVE.DAT") == as_string(new_content));

    const std::uint64_t last = wire::chunk_count(old_content.size()) - 1;
    const Bytes got = collect(header.head.arg4, old_content.size(), {0, 1000, last - 1, last});
    EXPECT_EQ(got.size(), old_content.size());
    EXPECT_TRUE(got == old_content) << "the download mixed in bytes of the new file";
    EXPECT_TRUE(home_.read_file("alice/SAVE.DAT") == as_string(new_content));
}

TEST_F(TransfersTest, DownloadOfEmptyAndMissingFiles) {
    start();
    home_.write_file("alice/empty.dat", "");
    conn_->send(Kind::request, code_of(Request::download_file), {}, path_payload("\\empty.dat"));
    const auto header = next();
    EXPECT_EQ(header.head.code, code_of(Data::file_header));
    EXPECT_EQ(wire::unpack_size(header.head.arg1, header.head.arg2), 0u);
    EXPECT_FALSE(conn_->receive(1s)) << "an empty file is the header alone, no 122";
    // Not left open: a writer gets it at once.
    auto writer = support::FileStream::create_for_receiving(platform::Env::host(), user("empty.dat"));
    EXPECT_TRUE(writer);

    conn_->send(Kind::request, code_of(Request::download_file), {}, path_payload("\\nothing.dat"));
    EXPECT_EQ(next().head.code, code_of(Reply::cannot_open));
}

TEST_F(TransfersTest, StopEndsTheStreamAndClosesTheFile) {
    start(/*manual_clock=*/true, /*bandwidth=*/1);
    home_.write_file("alice/big.dat", as_string(pattern(200000)));
    conn_->send(Kind::request, code_of(Request::download_file), {}, path_payload("\\big.dat"));
    ASSERT_EQ(next().head.code, code_of(Data::file_header));
    // One packet goes; the next waits for a bandwidth budget that the
    // stopped clock never refills.
    EXPECT_EQ(next().head.code, code_of(Data::file_chunk));
    EXPECT_FALSE(support::FileStream::create_for_receiving(platform::Env::host(), user("big.dat")))
        << "the file is held while it is being sent";
    conn_->request(Kind::request, code_of(Request::stop_transfer));
    // The stream notices the stop at its next tick.
    server_->advance_clock(20);
    EXPECT_TRUE(support::FileStream::create_for_receiving(platform::Env::host(), user("big.dat")))
        << "the stopped stream must close its file";
    server_->advance_clock(1000);
    while (auto p = conn_->receive(kNoAnswer)) {
        EXPECT_NE(p->head.code, code_of(Data::file_chunk)) << "no chunk after the stop";
    }
}

TEST_F(TransfersTest, EndOfPassIsAskedWithTheLastChunkThenEvery80Ms) {
    start(/*manual_clock=*/true);
    home_.write_file("alice/SAVE.DAT", as_string(pattern(3000)));
    conn_->send(Kind::request, code_of(Request::download_file), {}, path_payload("\\SAVE.DAT"));
    ASSERT_EQ(next().head.code, code_of(Data::file_header));
    for (int chunk = 0; chunk < 3; ++chunk) ASSERT_EQ(next().head.code, code_of(Data::file_chunk));
    EXPECT_EQ(next().head.code, code_of(Request::end_of_pass)) << "asked with the last chunk";
    // The client does not answer: asked again once 80 ms have passed, not before.
    for (int round = 0; round < 2; ++round) {
        server_->advance_clock(60);
        EXPECT_FALSE(conn_->receive(kNoAnswer)) << "round " << round << ": asked before 80 ms";
        server_->advance_clock(20);
        EXPECT_EQ(next().head.code, code_of(Request::end_of_pass)) << "round " << round;
    }
}

TEST_F(TransfersTest, NewTransferWaits60SecondsForTheRunningOneThenCloses) {
    // 1 kB/s: the first download runs for minutes.
    start(/*manual_clock=*/true, /*bandwidth=*/1);
    home_.write_file("alice/big.dat", as_string(pattern(200000)));
    conn_->send(Kind::request, code_of(Request::download_file), {}, path_payload("\\big.dat"));
    ASSERT_EQ(next().head.code, code_of(Data::file_header));
    ASSERT_TRUE(conn_->request(Kind::request, code_of(Request::list_folder), {}, path_payload("\\")));
    server_->advance_clock(59980);
    EXPECT_EQ(server_->snapshot().connections, 1u) << "closed before 60 s";
    server_->advance_clock(20);
    for (int i = 0; i < 100 && server_->snapshot().connections > 0; ++i) std::this_thread::sleep_for(5ms);
    EXPECT_EQ(server_->snapshot().connections, 0u) << "the previous transfer never ended";
}

TEST_F(TransfersTest, StopSentAfterADownloadRequestStopsThatDownload) {
    start(/*manual_clock=*/true, /*bandwidth=*/1);
    home_.write_file("alice/big.dat", as_string(pattern(200000)));
    // Both in one write: the stop arrives while the download still waits
    // in line, and must still apply to it.
    auto request = [](std::uint32_t seq, std::uint8_t code, const Bytes& payload) {
        wire::PacketHead head;
        head.seq = seq;
        head.code = code;
        head.kind = std::uint8_t(Kind::request);
        head.want_ack = wire::kWantAck;
        return wire::encode_packet(head, payload);
    };
    Bytes both = request(1000, code_of(Request::download_file), path_payload("\\big.dat"));
    const Bytes stop = request(1001, code_of(Request::stop_transfer), {});
    both.insert(both.end(), stop.begin(), stop.end());
    conn_->send_raw(both);
    EXPECT_EQ(next().head.code, code_of(Data::file_header));
    server_->advance_clock(100);
    EXPECT_FALSE(conn_->receive(kNoAnswer)) << "no chunk of the stopped download";
    EXPECT_TRUE(support::FileStream::create_for_receiving(platform::Env::host(), user("big.dat")));
}

TEST_F(TransfersTest, BandwidthLimitPacesEveryStreamByTheClock) {
    start(/*manual_clock=*/true, /*bandwidth=*/10);  // 10000 bytes a second
    home_.write_file("alice/big.dat", as_string(pattern(100000)));
    conn_->send(Kind::request, code_of(Request::download_file), {}, path_payload("\\big.dat"));
    ASSERT_EQ(next().head.code, code_of(Data::file_header));
    std::size_t total = 0;
    for (int second = 1; second <= 3; ++second) {
        server_->advance_clock(1000);
        while (auto p = conn_->receive(200ms)) total += wire::kHeaderSize + p->payload.size();
        // The first packet goes before any budget is spent; then the refill
        // allows 10000 bytes a second with a burst of one refill.
        EXPECT_LE(total, 10000u * second + 1056 + 220) << "after " << second << " s";
        EXPECT_GE(total, 10000u * second - 1056) << "after " << second << " s";
    }
}

TEST_F(TransfersTest, ListingTravelsCompressedAndReassemblesToTheListing) {
    start();
    for (int i = 0; i < 60; ++i) {
        home_.make_dir("alice/game" + std::to_string(i % 3) + "/1");
        home_.write_file("alice/game" + std::to_string(i % 3) + "/1/save_file_" + std::to_string(i) + ".dat",
                         std::string(std::size_t(i) * 10, 'x'));
    }
    const auto expected = files::build_listing(platform::Env::host(), home_.path("alice"), "", {});
    conn_->send(Kind::request, code_of(Request::list_folder), {}, path_payload(""));
    const auto header = next();
    ASSERT_EQ(header.head.code, code_of(Data::listing_header));
    EXPECT_EQ(header.head.arg1, 60);
    ASSERT_EQ(header.head.arg2, std::int32_t(expected.bytes.size()));
    ASSERT_GT(expected.bytes.size(), 2048u);

    std::map<std::uint64_t, Bytes> chunks;
    bool compressed_seen = false;
    for (;;) {
        auto p = next();
        if (p.head.code == code_of(Request::end_of_pass)) break;
        ASSERT_EQ(p.head.code, code_of(Data::listing_chunk));
        compressed_seen |= p.head.arg4 == 1;
        chunks[std::uint32_t(p.head.arg2)] =
            p.head.arg4 == 1 ? wire::decompress(p.payload, 1024).bytes : p.payload;
    }
    conn_->send(Kind::request, code_of(Request::transfer_received), {header.head.arg4, 0, 0, 0});
    Bytes all;
    for (auto& [i, body] : chunks) all.insert(all.end(), body.begin(), body.end());
    EXPECT_EQ(all, expected.bytes);
    EXPECT_TRUE(compressed_seen) << "listing chunks that compress well travel compressed";

    conn_->send(Kind::request, code_of(Request::list_folder), {}, path_payload("\\nowhere"));
    const auto missing = next();
    EXPECT_EQ(missing.head.arg1, -1);
    EXPECT_EQ(missing.head.arg2, 0);
    EXPECT_FALSE(conn_->receive(kNoAnswer)) << "no data for a missing folder";
}

TEST_F(TransfersTest, BatchPacksSmallFilesAndMarksMissingOnes) {
    start();
    home_.write_file("alice/a.dat", "alpha");
    home_.write_file("alice/huge.dat", std::string(225280, 'h'));
    wire::PayloadWriter w;
    for (const auto& [name, tag] : std::vector<std::pair<std::string, int>>{
             {"\\a.dat", 7}, {"\\missing.dat", 8}, {"\\huge.dat", 9}}) {
        w.zstr(name);
        w.i32(tag);
    }
    w.zstr("");
    conn_->send(Kind::request, code_of(Request::download_batch), {}, w.data());
    const auto header = next();
    ASSERT_EQ(header.head.code, code_of(Request::batch_header));
    EXPECT_EQ(header.head.arg2, 3);
    const Bytes batch = collect(header.head.arg4, std::uint32_t(header.head.arg3));
    ASSERT_EQ(batch.size(), std::size_t(header.head.arg3));

    wire::PayloadReader first(batch);
    EXPECT_EQ(first.i32(), 7);
    EXPECT_EQ(first.i32(), 5);
    EXPECT_EQ(std::string(batch.begin() + 16, batch.begin() + 21), "alpha");
    wire::PayloadReader tail(std::span<const std::uint8_t>(batch).subspan(16 + 5));
    EXPECT_EQ(tail.i32(), 8);
    EXPECT_EQ(tail.i32(), -1);
    EXPECT_EQ(batch.size(), 16u + 5u + 16u) << "the oversized file gets no entry";
}

TEST_F(TransfersTest, UploadRepairsSkippedChunksThroughTheMissingList) {
    start();
    home_.write_file("alice/SAVE.DAT", "old");
    const Bytes content = pattern(3000, 9);
    const auto size = wire::pack_size(content.size(), 0x20);
    conn_->request(Kind::data, code_of(Data::file_header), {size.arg1, size.arg2, 0x58AC7A00, 77},
                   path_payload("\\SAVE.DAT"));
    auto chunk = [&](int index) {
        const auto begin = content.begin() + index * 1024;
        const Bytes body(begin, begin + std::min<std::ptrdiff_t>(1024, content.end() - begin));
        conn_->send(Kind::data, code_of(Data::file_chunk), {77, index, 0, 0}, body, false);
    };
    chunk(0);
    chunk(2);
    conn_->request(Kind::request, code_of(Request::end_of_pass), {77, 0, 0, 0});
    const auto missing = next();
    ASSERT_EQ(missing.head.code, code_of(Data::missing_chunks));
    EXPECT_EQ(missing.head.arg2, 1);
    EXPECT_EQ(missing.payload, (Bytes{1, 0, 0, 0}));
    EXPECT_EQ(home_.read_file("alice/SAVE.DAT"), "old") << "the old file stays until the new is whole";
    chunk(1);
    const auto done = next();
    EXPECT_EQ(done.head.code, code_of(Reply::upload_complete));
    EXPECT_EQ(done.head.arg1, 77);
    EXPECT_EQ(home_.read_file("alice/SAVE.DAT"), as_string(content));
}

TEST_F(TransfersTest, UploadCutOffByTheClientLeavesTheOldFile) {
    start();
    home_.write_file("alice/SAVE.DAT", "old");
    const auto size = wire::pack_size(4096, 0x20);
    conn_->request(Kind::data, code_of(Data::file_header), {size.arg1, size.arg2, 0, 5},
                   path_payload("\\SAVE.DAT"));
    conn_->send(Kind::data, code_of(Data::file_chunk), {5, 0, 0, 0}, pattern(1024), false);
    conn_->request(Kind::request, 99);  // the chunk has been taken in
    conn_->close();
    for (int i = 0; i < 100 && server_->snapshot().connections > 0; ++i) std::this_thread::sleep_for(5ms);
    EXPECT_EQ(home_.read_file("alice/SAVE.DAT"), "old");
    std::size_t entries = 0;
    for (const auto& e : std::filesystem::directory_iterator(home_.path("alice"))) {
        (void)e;
        ++entries;
    }
    EXPECT_EQ(entries, 1u) << "no temporary file left behind";
}

TEST_F(TransfersTest, SlotDatesAnswerWithoutAskingForAnAcknowledgement) {
    start();
    home_.make_dir("alice/game/1");
    home_.make_dir("alice/game/3");
    home_.write_file("alice/game/1/DOCDATE.SYN", "");
    conn_->send(Kind::request, code_of(Request::reset_slot_dates), {}, path_payload("\\game\\3"));
    conn_->send(Kind::request, code_of(Request::ask_slot_dates), {1234, 0, 0, 0}, path_payload("\\game\\"));
    const auto reply = next();
    EXPECT_EQ(reply.head.code, code_of(Reply::slot_dates));
    EXPECT_EQ(reply.head.want_ack, 0);
    EXPECT_EQ(reply.head.arg1, 1234);
    EXPECT_NE(reply.head.arg2, -1);
    EXPECT_EQ(reply.head.arg3, -1);
    EXPECT_NE(reply.head.arg4, -1) << "the reset created slot 3's record";
}

TEST_F(TransfersTest, EveryPathTakingRequestStaysInsideTheUsersFolder) {
    start();
    home_.make_dir("bob");
    home_.write_file("bob/secret.dat", "bob's");
    home_.make_dir("bob/game/1");
    home_.write_file("bob/game/1/DOCDATE.SYN", "");
    const std::string escape = "\\..\\bob";
    struct Case {
        const char* name;
        std::uint8_t code;
        Kind kind;
        std::string path;
        std::optional<std::uint8_t> answer;  // nullopt: silence
    };
    const Case cases[] = {
        {"list", code_of(Request::list_folder), Kind::request, escape, code_of(Data::listing_header)},
        {"download", code_of(Request::download_file), Kind::request, escape + "\\secret.dat",
         code_of(Reply::cannot_open)},
        {"delete", code_of(Request::delete_file), Kind::request, escape + "\\secret.dat",
         code_of(Reply::delete_failed)},
        {"remove folder", code_of(Request::remove_folder), Kind::request, escape + "\\game\\1", {}},
        {"create folder", code_of(Request::create_folder), Kind::request, escape + "\\new", {}},
        {"reset slot", code_of(Request::reset_slot_dates), Kind::request, escape + "\\game\\1", {}},
        {"slot dates", code_of(Request::ask_slot_dates), Kind::request, escape + "\\game",
         code_of(Reply::slot_dates)},
        {"delete tree", code_of(Request::delete_tree), Kind::request, escape, code_of(Reply::tree_deleted)},
        {"upload", code_of(Data::file_header), Kind::data, escape + "\\secret.dat",
         code_of(Reply::cannot_create)},
    };
    const auto before = std::filesystem::last_write_time(home_.path("bob/game/1/DOCDATE.SYN"));
    for (const Case& c : cases) {
        conn_->request(c.kind, c.code, {5, 0, 0, 0}, path_payload(c.path));
        if (!c.answer) {
            EXPECT_FALSE(conn_->receive(kNoAnswer)) << c.name;
            continue;
        }
        const auto reply = next();
        EXPECT_EQ(reply.head.code, *c.answer) << c.name;
        if (c.code == code_of(Request::list_folder)) {
            EXPECT_EQ(reply.head.arg1, -1) << c.name;
        }
        if (c.code == code_of(Request::ask_slot_dates)) {
            EXPECT_EQ(reply.head.arg2, -1) << c.name;
        }
    }
    EXPECT_EQ(home_.read_file("bob/secret.dat"), "bob's");
    EXPECT_TRUE(std::filesystem::exists(home_.path("bob/game/1")));
    EXPECT_FALSE(std::filesystem::exists(home_.path("bob/new")));
    EXPECT_FALSE(std::filesystem::exists(home_.path("new")));
    EXPECT_EQ(std::filesystem::last_write_time(home_.path("bob/game/1/DOCDATE.SYN")), before);
}

}  // namespace
}  // namespace rk::core
