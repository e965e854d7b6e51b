// One accepted client connection: its reader, its ordered write queue, its
// sequence numbers and acknowledgements, its logon state and its requests.
// Lives on the engine's io thread only; kept alive by its own coroutines.
#pragma once

#include <asio/awaitable.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/outbound_stream.h"
#include "files/upload.h"
#include "wire/ack_ring.h"
#include "wire/framer.h"
#include "wire/packet.h"
#include "wire/recent_seqs.h"

namespace rk::core {

class Engine;

enum class ConnState { connected, logged_on, closing };

class Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(Engine& engine, asio::ip::tcp::socket socket, std::uint64_t id);
    ~Connection();

    // Starts the reader, writer and dispatcher coroutines.
    void start();
    // Closes at once: queued bytes are dropped, coroutines end, the engine
    // forgets the connection. A second call does nothing.
    void close(std::string_view reason);

    ConnState state() const { return state_; }
    bool closing() const { return state_ == ConnState::closing; }
    std::uint64_t id() const { return id_; }
    const std::string& peer() const { return peer_; }
    std::uint64_t last_activity() const { return last_activity_; }

    // Tick duties: resends an unacknowledged packet whose 100 ms are up, and
    // closes the connection when its peer has not taken a packet for 6 s.
    // False once nothing timed is left to do.
    bool on_tick(std::uint64_t now);

    // Numbers, seals and queues a packet; with WantAck set, waits until the
    // peer acknowledges it (resent every 100 ms meanwhile). False when the
    // connection closed first.
    asio::awaitable<bool> send(wire::PacketHead head, std::span<const std::uint8_t> payload = {});
    asio::awaitable<bool> send_reply(std::uint8_t code, std::int32_t arg1 = 0, std::int32_t arg2 = 0);

private:
    using Bytes = std::vector<std::uint8_t>;
    struct Outgoing {
        std::shared_ptr<const Bytes> bytes;
    };
    struct AwaitingAck {
        std::uint32_t seq = 0;
        std::shared_ptr<const Bytes> bytes;
        std::uint64_t resend_at = 0;
    };

    // Runs a coroutine of this connection; an exception that escapes it is
    // logged and closes the connection.
    void spawn(const std::function<asio::awaitable<void>()>& coroutine);
    asio::awaitable<void> read_loop();
    asio::awaitable<void> write_loop();
    asio::awaitable<void> dispatch_loop();

    void receive(std::vector<std::uint8_t>& raw);
    void queue(std::shared_ptr<const Bytes> bytes);
    void send_ack(std::uint32_t seq);
    bool queued(const std::shared_ptr<const Bytes>& bytes) const;
    void watch();

    // Requests of the logon and the small storage work (requests.cpp).
    asio::awaitable<void> handle(const wire::Packet& packet);
    asio::awaitable<void> on_logon(const wire::Packet& packet);
    // The storage folder of the account `name`, when it can have one.
    std::optional<std::string> user_folder(const std::string& name);
    asio::awaitable<void> on_logoff();
    asio::awaitable<void> on_create_account(const wire::Packet& packet);
    asio::awaitable<void> on_delete_file(const wire::Packet& packet);
    void on_mouse(const wire::Packet& packet);
    void on_key(const wire::Packet& packet);

    // Transfers (transfers.cpp).
    void steer_stream(const wire::Packet& packet);
    asio::awaitable<void> handle_transfer(const wire::Packet& packet);
    asio::awaitable<void> on_list_folder(const wire::Packet& packet);
    asio::awaitable<void> on_delete_tree(const wire::Packet& packet);
    asio::awaitable<void> on_download(std::string_view wire_path);
    asio::awaitable<void> on_download_batch(const wire::Packet& packet);
    asio::awaitable<void> on_slot_dates(const wire::Packet& packet);
    asio::awaitable<void> on_upload_start(const wire::Packet& packet);
    asio::awaitable<void> on_upload_chunk(const wire::Packet& packet);
    asio::awaitable<void> on_upload_end(const wire::Packet& packet);
    asio::awaitable<void> send_missing_list();
    // Waits until no stream is being sent, as a new one replaces it; false
    // when the connection closed meanwhile or the old one never ended.
    asio::awaitable<bool> stream_idle();
    std::uint32_t new_transfer_id() { return next_transfer_id_++; }
    // A stop that arrived after the request being dispatched was sent after
    // it, so it applies to what that request starts.
    bool stopped_since_queued() const { return stops_received_ != stops_before_current_; }
    void hand_over(OutboundStream stream);
    asio::awaitable<void> send_stream();
    // Suspends until the clock reaches `at` or the stream is steered.
    asio::awaitable<void> sleep_until(std::uint64_t at);
    void wake_stream();

    Engine& engine_;
    asio::ip::tcp::socket socket_;
    const std::uint64_t id_;
    std::string peer_;
    ConnState state_ = ConnState::connected;
    std::uint64_t last_activity_ = 0;

    wire::Framer framer_;
    wire::RecentSeqs recent_;
    wire::AckRing acks_;
    std::uint32_t send_seq_ = 0xFFFFFFFFu;

    // Packets in order of queueing; the front one may be partly written.
    std::deque<Outgoing> out_;
    std::size_t out_bytes_ = 0;
    std::size_t front_written_ = 0;
    std::uint64_t front_since_ = 0;
    asio::steady_timer writer_wake_;

    std::vector<AwaitingAck> awaiting_;
    asio::steady_timer ack_wake_;

    // Requests waiting for the dispatcher, each with the number of stop
    // requests (111) that had arrived before it.
    struct Queued {
        wire::Packet packet;
        std::uint64_t stops_before = 0;
    };
    std::deque<Queued> inbox_;
    std::size_t inbox_bytes_ = 0;
    std::uint64_t stops_received_ = 0;
    // Of the request being dispatched.
    std::uint64_t stops_before_current_ = 0;
    asio::steady_timer dispatch_wake_;

    bool watched_ = false;
    std::string user_name_;
    std::string user_root_;

    // The outbound stream and what steers it.
    std::optional<OutboundStream> stream_;
    bool stream_running_ = false;
    std::uint32_t transfer_id_ = 0;
    std::uint32_t next_transfer_id_ = 0;
    std::uint64_t chunk_index_ = 0;
    bool finished_ = false;
    // Read by walks on pool threads as well.
    std::shared_ptr<std::atomic<bool>> stop_request_ = std::make_shared<std::atomic<bool>>(false);
    std::uint64_t stream_wake_at_ = 0;  // 0: the stream waits for no clock
    asio::steady_timer stream_wake_;
    // The queue drained or the stream ended: wakes the stream and whoever
    // waits for it to end.
    asio::steady_timer stream_changed_;
    bool waiting_for_stream_ = false;

    files::Upload upload_;
};

}  // namespace rk::core
