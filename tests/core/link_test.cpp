// One link and the transfer it carries, run on the test's own thread with
// the clock driven by hand, against a raw peer socket that reads only when
// told: what reaches the peer byte for byte, and what the link holds back.
#include "core/link.h"

#include <gtest/gtest.h>

#include <asio/ip/tcp.hpp>
#include <asio/write.hpp>
#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "accounts/account_store.h"
#include "core/chunk_source.h"
#include "core/engine.h"
#include "core/outbound_transfer.h"
#include "support/file_stream.h"
#include "support/tick_source.h"
#include "testing/temp_dir.h"
#include "wire/codes.h"
#include "wire/framer.h"
#include "wire/packet.h"

namespace rk::core {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using asio::ip::tcp;

// The peer sends nothing here; only the close matters.
class Owner final : public LinkOwner {
public:
    void on_packet(wire::Packet&&) override {}
    void on_link_closed() override { closed = true; }

    bool closed = false;
};

class LinkTest : public ::testing::Test {
protected:
    LinkTest()
        : store_(env_, home_.path()),
          engine_(io_, env_, home_.path(), store_, ticks_, nullptr),
          peer_(io_) {
        ticks_.start([this](std::uint64_t now) { engine_.on_tick(now); });
        tcp::acceptor acceptor(io_, {asio::ip::make_address("127.0.0.1"), 0});
        peer_.open(tcp::v4());
        // A small window, so that a peer that does not read stops the link soon.
        peer_.set_option(asio::socket_base::receive_buffer_size(4096));
        peer_.connect(acceptor.local_endpoint());
        link_ = std::make_shared<Link>(engine_, acceptor.accept(), 1, owner_);
        link_->start(link_);
    }

    ~LinkTest() override {
        link_->close("test over");
        settle();
        ticks_.stop();
    }

    // Runs the link's coroutines until they wait for the peer or the clock.
    void settle() {
        for (int i = 0; i < 5; ++i) {
            io_.restart();
            io_.run_for(5ms);
        }
    }

    void advance(std::uint64_t ms) {
        ticks_.advance(ms);
        settle();
    }

    // The coroutines under test, as members: their frames outlive the
    // lambdas that start them.
    asio::awaitable<void> send(wire::PacketHead head, Bytes payload) {
        sent_ = co_await link_->send(head, payload);
    }
    asio::awaitable<void> run_transfer() {
        co_await transfer_->run();
        transfer_ended_ = true;
    }

    // Every complete packet the peer has received so far, as raw bytes.
    std::vector<Bytes> peer_reads() {
        std::vector<Bytes> packets;
        std::error_code ec;
        while (peer_.available(ec) > 0 && !ec) {
            Bytes buffer(peer_.available(ec));
            const std::size_t n = peer_.read_some(asio::buffer(buffer), ec);
            framer_.take(std::span(buffer).first(n), [&](wire::Framer::View packet) {
                packets.emplace_back(packet.begin(), packet.end());
            });
        }
        return packets;
    }

    platform::testing::TempDir home_;
    platform::Env& env_ = platform::Env::host();
    accounts::AccountStore store_;
    support::ManualTickSource ticks_;
    asio::io_context io_;
    Engine engine_;
    tcp::socket peer_;
    Owner owner_;
    std::shared_ptr<Link> link_;
    wire::Framer framer_;
    // What the coroutines under test touch, kept until the link has closed.
    std::optional<bool> sent_;
    std::unique_ptr<OutboundTransfer> transfer_;
    bool transfer_ended_ = false;
};

TEST_F(LinkTest, UnacknowledgedPacketComesAgainWithTheSameBytesEvery100Ms) {
    auto head = wire::packet_head(wire::Reply::logon_accepted, true);
    head.arg1 = 42;
    const Bytes payload{1, 2, 3, 4, 5, 6, 7};
    link_->spawn(link_, [&] { return send(head, payload); });
    settle();
    const auto first = peer_reads();
    ASSERT_EQ(first.size(), 1u);
    const auto decoded = wire::decode_packet(first[0]);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->payload, payload);

    for (int round = 0; round < 3; ++round) {
        advance(80);
        EXPECT_TRUE(peer_reads().empty()) << "round " << round << ": resent before 100 ms";
        advance(20);
        EXPECT_EQ(peer_reads(), first) << "round " << round << ": not the same bytes";
    }
    EXPECT_FALSE(sent_) << "still waiting for the acknowledgement";

    const Bytes ack = wire::encode_ack(0, decoded->head.seq);
    asio::write(peer_, asio::buffer(ack));
    settle();
    EXPECT_EQ(sent_, std::optional<bool>(true));
    advance(500);
    EXPECT_TRUE(peer_reads().empty()) << "an acknowledged packet is not resent";
}

TEST_F(LinkTest, DownloadToAPeerThatStopsReadingKeepsItsQueueSmallThenClosesAfter6s) {
    // Larger than the queue may ever hold, so that a transfer that read
    // ahead without bound would close the link at once.
    constexpr std::size_t kSize = 32u << 20;
    home_.write_file("big.dat", std::string(kSize, 'b'));
    auto opened = support::FileStream::open_for_sending(env_, home_.path("big.dat"));
    ASSERT_TRUE(opened.stream.is_open());
    auto stop = std::make_shared<std::atomic<bool>>(false);
    transfer_ = std::make_unique<OutboundTransfer>(
        engine_, *link_, 9, ChunkSource::of_file(std::move(opened.stream), kSize), stop);
    link_->spawn(link_, [this] { return run_transfer(); });

    // What the transfer may queue: its backlog of 256 KiB, plus the one read
    // of 64 chunks that took it there.
    constexpr std::size_t kMostWaiting = 256 * 1024 + 64 * (wire::kHeaderSize + wire::kChunkSize);
    std::size_t most = 0;
    for (int i = 0; i < 40; ++i) {
        io_.restart();
        io_.run_for(2ms);
        most = std::max(most, link_->waiting());
    }
    settle();
    most = std::max(most, link_->waiting());
    EXPECT_GT(link_->waiting(), 0u) << "the peer's window should have filled";
    EXPECT_LE(most, kMostWaiting);
    ASSERT_FALSE(link_->closed());

    advance(6000);
    EXPECT_FALSE(link_->closed()) << "closed before 6 s";
    EXPECT_LE(link_->waiting(), kMostWaiting);
    advance(20);
    EXPECT_TRUE(link_->closed()) << "still open after 6 s without progress";
    EXPECT_TRUE(owner_.closed);
    EXPECT_TRUE(transfer_ended_) << "the transfer ends with its link";
}

}  // namespace
}  // namespace rk::core
