// The framed, acknowledged link of one accepted connection: it reads and
// frames bytes, checks sums, acknowledges, drops duplicates and hands every
// other packet to its owner in arrival order; it numbers and seals what the
// owner sends, writes one ordered queue in gathered writes, resends an
// unacknowledged packet every 100 ms of the server clock, and gives up on a
// peer that takes nothing for 6 s. Knows nothing of what packets mean.
// Used from the io thread only.
#pragma once

#include <asio/awaitable.hpp>
#include <asio/ip/tcp.hpp>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/signal.h"
#include "wire/ack_ring.h"
#include "wire/codes.h"
#include "wire/framer.h"
#include "wire/packet.h"
#include "wire/recent_seqs.h"

namespace rk::core {

class Engine;

// What a link reports to the connection that owns it.
class LinkOwner {
public:
    virtual ~LinkOwner() = default;
    // A packet that is neither an acknowledgement nor a duplicate.
    virtual void on_packet(wire::Packet&& packet) = 0;
    // The link closed; nothing more will be received or sent.
    virtual void on_link_closed() = 0;
};

class Link {
public:
    // An unacknowledged packet goes again after this long.
    static constexpr std::uint64_t kResendMs = 100;
    // A packet that cannot be written for this long closes the link.
    static constexpr std::uint64_t kSendGiveUpMs = 6000;

    Link(Engine& engine, asio::ip::tcp::socket socket, std::uint64_t id, LinkOwner& owner);

    // Starts reading and writing; `keep_alive` holds the owner while any of
    // the link's coroutines runs.
    void start(const std::shared_ptr<void>& keep_alive);
    // Closes at once: queued bytes are dropped and the coroutines end. A
    // second call does nothing.
    void close(std::string_view reason);
    bool closed() const { return closed_; }

    // Runs a coroutine on the io thread while `keep_alive` lives; an
    // exception that escapes it is logged and closes the link.
    void spawn(const std::shared_ptr<void>& keep_alive,
               const std::function<asio::awaitable<void>()>& coroutine);

    // Numbers, seals and queues a packet; with WantAck set, waits until the
    // peer acknowledges it, resending it meanwhile. False when the link
    // closed first.
    asio::awaitable<bool> send(wire::PacketHead head, std::span<const std::uint8_t> payload = {});
    asio::awaitable<bool> send_reply(wire::Reply reply, std::int32_t arg1 = 0,
                                     std::int32_t arg2 = 0);

    // Waits until no more than `bytes` wait to be written, or the link closes.
    asio::awaitable<void> drain_to(std::size_t bytes);

    std::uint64_t id() const { return id_; }
    // The last time the peer sent something or took a packet we sent.
    std::uint64_t last_activity() const { return last_activity_; }

private:
    using Bytes = std::vector<std::uint8_t>;

    asio::awaitable<void> read_loop();
    asio::awaitable<void> write_loop();
    // Closes the link when the packet at the front of the queue has waited
    // kSendGiveUpMs without being written whole.
    asio::awaitable<void> stall_watch();

    void receive(std::vector<std::uint8_t>& raw);
    void queue(std::shared_ptr<const Bytes> bytes);
    bool queued(const std::shared_ptr<const Bytes>& bytes) const;

    Engine& engine_;
    asio::ip::tcp::socket socket_;
    const std::uint64_t id_;
    const std::string peer_;
    LinkOwner& owner_;
    bool closed_ = false;
    std::uint64_t last_activity_ = 0;

    wire::Framer framer_;
    wire::RecentSeqs recent_;
    wire::AckRing acks_;
    std::uint32_t send_seq_ = 0xFFFFFFFFu;

    // Packets in order of queueing; the front one may be partly written.
    std::deque<std::shared_ptr<const Bytes>> out_;
    std::size_t out_bytes_ = 0;
    std::size_t front_written_ = 0;
    std::uint64_t front_since_ = 0;
    Signal queued_;   // the queue got a packet
    Signal written_;  // bytes of the queue went out
    Signal acked_;    // an acknowledgement arrived
};

}  // namespace rk::core
