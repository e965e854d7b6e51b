// The framed, acknowledged link of one accepted connection: it reads and
// frames bytes, checks sums, acknowledges, drops duplicates and hands every
// other packet to its owner in arrival order; it numbers and seals what the
// owner sends straight into one ordered queue of bytes, written in large
// writes, resends an unacknowledged packet every 100 ms of the server clock,
// and gives up on a packet that cannot be written for 6 s. Knows nothing of
// what packets mean. Used from the io thread only.
#pragma once

#include <asio/awaitable.hpp>
#include <asio/ip/tcp.hpp>
#include <cstdint>
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

    // Runs a coroutine on the io thread while `keep_alive` lives, starting
    // on a later turn of the io loop; an exception that escapes it is logged
    // and closes the link.
    void spawn(const std::shared_ptr<void>& keep_alive,
               const std::function<asio::awaitable<void>()>& coroutine);

    // Numbers, seals and queues a packet; with WantAck set, waits until the
    // peer acknowledges it, resending it meanwhile. False when the link
    // closed first.
    asio::awaitable<bool> send(wire::PacketHead head, std::span<const std::uint8_t> payload = {});
    // The same for a packet that wants no acknowledgement, without waiting:
    // it is sealed in place at the end of the queue.
    bool post(wire::PacketHead head, std::span<const std::uint8_t> payload = {});
    asio::awaitable<bool> send_reply(wire::Reply reply, std::int32_t arg1 = 0,
                                     std::int32_t arg2 = 0);

    // Room at the end of the queue for `count` packets that want no
    // acknowledgement, with payloads of `payload_size` bytes that the caller
    // fills in place through `slots`, then posts with post_built(); nothing
    // else may be queued in between. False when the link is closed or its
    // queue full.
    bool build(std::size_t count, std::size_t payload_size,
               std::vector<std::span<std::uint8_t>>& slots);
    // Numbers, seals and queues the first `built` packets of the room, packet
    // i with the header head_of(i); the rest of the room is given back.
    template <typename HeadOf>
    void post_built(std::size_t built, HeadOf&& head_of);

    // Waits until no more than `bytes` wait to be written, or the link closes.
    asio::awaitable<void> drain_to(std::size_t bytes);
    // Bytes queued and not yet written.
    std::size_t waiting() const { return std::size_t(queued_total_ - written_total_); }

    std::uint64_t id() const { return id_; }
    // The last time the peer sent something or took a packet we sent.
    std::uint64_t last_activity() const { return last_activity_; }

private:
    // Reads for as long as the link is open.
    asio::awaitable<void> read_loop();
    // Runs while bytes wait to be written, so that an idle link keeps no
    // coroutine but its reader.
    asio::awaitable<void> write_loop();
    // Runs while the socket refuses data: closes the link when the packet at
    // the front of the queue has waited kSendGiveUpMs without being written
    // whole.
    asio::awaitable<void> stall_watch();
    // Runs `coroutine` of this link while its owner lives.
    void spawn_own(asio::awaitable<void> (Link::*coroutine)());

    void receive(std::span<const std::uint8_t> raw);
    // Makes room for a packet of `size` bytes at the end of the queue; false
    // (and nothing queued) when the link is closed or the queue is full.
    bool make_room(std::size_t size);
    // The packet that ends at `end` in out_, appended since make_room(),
    // counts as queued; returns the queue position of its end.
    std::uint64_t queued_packet(std::size_t end);
    // Queues `bytes` as they are; the end's position, or 0 when not queued.
    std::uint64_t queue(std::span<const std::uint8_t> bytes);
    void written(std::size_t n);
    std::uint64_t now() const;

    Engine& engine_;
    asio::ip::tcp::socket socket_;
    const std::uint64_t id_;
    const std::string peer_;
    LinkOwner& owner_;
    std::weak_ptr<void> owner_alive_;
    bool closed_ = false;
    bool writing_ = false;   // write_loop runs
    bool watching_ = false;  // stall_watch runs
    std::uint64_t last_activity_ = 0;

    wire::Framer framer_;
    wire::RecentSeqs recent_;
    wire::AckRing acks_;
    std::uint32_t send_seq_ = 0xFFFFFFFFu;

    // The bytes waiting to be written start at out_start_; ends_ holds, from
    // ends_head_, the queue position (counted in bytes since the link
    // opened) where each waiting packet ends. The front one may be partly
    // written.
    std::vector<std::uint8_t> out_;
    std::size_t out_start_ = 0;
    std::vector<std::uint64_t> ends_;
    std::size_t ends_head_ = 0;
    std::uint64_t queued_total_ = 0;
    std::uint64_t written_total_ = 0;
    std::uint64_t front_since_ = 0;
    // The room of build(): where in out_ it starts, and each packet's size.
    std::size_t room_at_ = 0;
    std::size_t room_stride_ = 0;
    Signal queued_;   // the queue got a packet
    Signal written_;  // bytes of the queue went out
    Signal acked_;    // an acknowledgement arrived
};

template <typename HeadOf>
void Link::post_built(std::size_t built, HeadOf&& head_of) {
    for (std::size_t i = 0; i < built; ++i) {
        wire::PacketHead head = head_of(i);
        head.seq = ++send_seq_;
        const std::size_t at = room_at_ + i * room_stride_;
        wire::write_head(std::span(out_).subspan(at, room_stride_), head);
        queued_packet(at + room_stride_);
    }
    out_.resize(room_at_ + built * room_stride_);
    if (built > 0) last_activity_ = now();
}

}  // namespace rk::core
