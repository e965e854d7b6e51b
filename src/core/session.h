// What one client connection means above its link: the logon state and the
// user's storage folder, the ordered inbox of requests, the routing of every
// packet code the server takes (routes.cpp, the only place a code is
// dispatched), and the transfers under way: at most one outbound transfer
// and one upload. The handlers live in files named for their topic:
// logon.cpp, storage_requests.cpp, stream_requests.cpp, upload_requests.cpp,
// remote_input.cpp. Used from the io thread only; kept alive by its own
// coroutines and by the engine's list of live connections.
#pragma once

#include <asio/awaitable.hpp>
#include <asio/ip/tcp.hpp>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/chunk_source.h"
#include "core/failed_requests.h"
#include "core/link.h"
#include "core/outbound_transfer.h"
#include "core/signal.h"
#include "files/upload.h"
#include "wire/packet.h"

namespace rk::core {

class Engine;

class Session final : public LinkOwner, public std::enable_shared_from_this<Session> {
public:
    Session(Engine& engine, asio::ip::tcp::socket socket, std::uint64_t id);
    ~Session() override;

    // Starts the link and the dispatcher.
    void start();
    // Closes the link; the engine forgets the connection. A second call does
    // nothing.
    void close(std::string_view reason);

    Link& link() { return link_; }
    std::uint64_t id() const { return link_.id(); }

    // How a routed packet is handled.
    enum class Order {
        immediate,  // as it arrives, ahead of requests waiting in the inbox
        in_turn,    // from the inbox, one at a time, in arrival order
    };
    struct Route {
        Order order = Order::in_turn;
        bool needs_logon = true;
        // The handler of an in-turn packet, or of an immediate one.
        asio::awaitable<void> (Session::*in_turn)(const wire::Packet&) = nullptr;
        void (Session::*immediate)(const wire::Packet&) = nullptr;
    };
    // The route of a (kind, code), or nullptr for a packet the server does
    // not take: it is acknowledged and otherwise ignored.
    static const Route* route(wire::Kind kind, std::uint8_t code);

private:
    void on_packet(wire::Packet&& packet) override;
    void on_link_closed() override;
    // Runs while the inbox holds requests; an idle connection keeps none.
    asio::awaitable<void> dispatch_loop();
    asio::awaitable<void> handle(const Route& route, const wire::Packet& packet);

    // logon.cpp
    asio::awaitable<void> on_logon(const wire::Packet& packet);
    asio::awaitable<void> on_logoff(const wire::Packet& packet);
    asio::awaitable<void> on_create_account(const wire::Packet& packet);
    // The storage folder of the account `name`, when it can have one.
    std::optional<std::string> user_folder(const std::string& name);

    // storage_requests.cpp
    asio::awaitable<void> on_delete_file(const wire::Packet& packet);
    asio::awaitable<void> on_remove_folder(const wire::Packet& packet);
    asio::awaitable<void> on_create_folder(const wire::Packet& packet);
    asio::awaitable<void> on_delete_tree(const wire::Packet& packet);
    asio::awaitable<void> on_ask_slot_dates(const wire::Packet& packet);
    asio::awaitable<void> on_reset_slot_dates(const wire::Packet& packet);

    // stream_requests.cpp
    asio::awaitable<void> on_list_folder(const wire::Packet& packet);
    asio::awaitable<void> on_download_file(const wire::Packet& packet);
    asio::awaitable<void> on_download_batch(const wire::Packet& packet);
    void on_stop_transfer(const wire::Packet& packet);
    void on_resend_from(const wire::Packet& packet);
    void on_transfer_received(const wire::Packet& packet);
    void on_client_refused(const wire::Packet& packet);
    asio::awaitable<void> download(std::string_view wire_path);
    // Waits until no outbound transfer runs, as a new one replaces it; false
    // when the connection closed meanwhile or the old one never ended.
    asio::awaitable<bool> outbound_idle();
    // Runs `source` as the outbound transfer `id`, whose header the client
    // has acknowledged.
    void start_outbound(std::uint32_t id, ChunkSource source);
    asio::awaitable<void> run_outbound();
    std::uint32_t new_transfer_id() { return next_transfer_id_++; }

    // upload_requests.cpp
    asio::awaitable<void> on_upload_start(const wire::Packet& packet);
    asio::awaitable<void> on_upload_chunk(const wire::Packet& packet);
    asio::awaitable<void> on_upload_end(const wire::Packet& packet);

    // remote_input.cpp
    asio::awaitable<void> on_mouse_input(const wire::Packet& packet);
    asio::awaitable<void> on_key_input(const wire::Packet& packet);

    // Logs why `step` failed and sends the client the step's failure reply,
    // if it has one, with `arg1` (a transfer id).
    asio::awaitable<void> answer_failure(FailedStep step, std::string_view wire_path,
                                         const platform::IoStatus& status, std::int32_t arg1 = 0);

    // Stops whatever runs for this connection: a walk, and the outbound
    // transfer, which ends at its next step without asking the client.
    void request_stop();
    // A stop that arrived after the request being dispatched was sent after
    // it, so it applies to what that request starts.
    bool stopped_since_queued() const { return stops_received_ != stops_before_current_; }

    Engine& engine_;
    Link link_;
    bool logged_on_ = false;
    std::string user_name_;
    std::string user_root_;

    // Requests waiting for the dispatcher, each with the number of stop
    // requests (111) that had arrived before it.
    struct Queued {
        wire::Packet packet;
        const Route* route = nullptr;
        std::uint64_t stops_before = 0;
    };
    // From inbox_head_ on; a vector, since an empty deque still holds a
    // block of memory and most connections are idle.
    std::vector<Queued> inbox_;
    std::size_t inbox_head_ = 0;
    std::size_t inbox_bytes_ = 0;
    bool dispatching_ = false;
    std::uint64_t stops_received_ = 0;
    // Of the request being dispatched.
    std::uint64_t stops_before_current_ = 0;

    // Read by walks on pool threads as well.
    std::shared_ptr<std::atomic<bool>> stop_request_ = std::make_shared<std::atomic<bool>>(false);
    std::uint32_t next_transfer_id_ = 0;
    std::unique_ptr<OutboundTransfer> outbound_;
    Signal outbound_ended_;
    files::Upload upload_;
};

}  // namespace rk::core
