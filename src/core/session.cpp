#include "core/session.h"

#include <chrono>

#include "core/engine.h"
#include "wire/codes.h"

namespace rk::core {

namespace {

// A client that queues more than this without waiting for answers is not
// one we can serve.
constexpr std::size_t kInboxLimitPackets = 65536;
constexpr std::size_t kInboxLimitBytes = 16u << 20;
// An idle connection gives back an inbox that held more.
constexpr std::size_t kIdleInboxEntries = 64;

}  // namespace

Session::Session(Engine& engine, asio::ip::tcp::socket socket, std::uint64_t id)
    : engine_(engine),
      link_(engine, std::move(socket), id, *this),
      // Transfer ids differ from one connection to the next, as clients expect.
      next_transfer_id_(std::uint32_t(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count())),
      outbound_ended_(engine.io()) {}

Session::~Session() = default;

void Session::start() {
    const auto self = shared_from_this();
    link_.start(self);
}

void Session::close(std::string_view reason) {
    const auto self = shared_from_this();  // the engine may hold the last reference
    link_.close(reason);
}

void Session::on_link_closed() {
    std::vector<Queued>().swap(inbox_);
    inbox_head_ = 0;
    inbox_bytes_ = 0;
    // A running walk or transfer stops; a half-received upload is dropped.
    request_stop();
    engine_.wake_walks();
    outbound_ended_.notify();
    upload_.abandon();
    engine_.forget(*this);
}

void Session::request_stop() {
    *stop_request_ = true;
    if (outbound_) outbound_->wake();
}

asio::awaitable<void> Session::answer_failure(FailedStep step, std::string_view wire_path,
                                              const platform::IoStatus& status, std::int32_t arg1) {
    log_failure(id(), user_name_, step, wire_path, status);
    if (const auto reply = failure_reply(step)) co_await link_.send_reply(*reply, arg1);
}

void Session::on_packet(wire::Packet&& packet) {
    // Old saves await conversion: nothing is acted on until it is done.
    if (engine_.accounts().convert_pending()) return;
    const Route* route = Session::route(wire::Kind(packet.head.kind), packet.head.code);
    // A packet the server does not take costs nothing and waits for nothing,
    // so it does not count towards the inbox limits either.
    if (!route) return;
    if (route->order == Order::immediate) {
        if (logged_on_ || !route->needs_logon) (this->*route->immediate)(packet);
        return;
    }
    inbox_bytes_ += packet.payload.size() + wire::kHeaderSize;
    inbox_.push_back({std::move(packet), route, stops_received_});
    if (inbox_.size() - inbox_head_ > kInboxLimitPackets || inbox_bytes_ > kInboxLimitBytes) {
        close("too many requests waiting");
        return;
    }
    if (!dispatching_) {
        dispatching_ = true;
        link_.spawn(shared_from_this(), [this] { return dispatch_loop(); });
    }
}

asio::awaitable<void> Session::dispatch_loop() {
    while (!link_.closed() && inbox_head_ < inbox_.size()) {
        Queued next = std::move(inbox_[inbox_head_++]);
        if (inbox_head_ == inbox_.size()) {
            inbox_.clear();
            inbox_head_ = 0;
        } else if (inbox_head_ > kIdleInboxEntries && inbox_head_ * 2 > inbox_.size()) {
            // A dispatcher that never catches up still gives back the front.
            inbox_.erase(inbox_.begin(), inbox_.begin() + std::ptrdiff_t(inbox_head_));
            inbox_head_ = 0;
        }
        inbox_bytes_ -= next.packet.payload.size() + wire::kHeaderSize;
        stops_before_current_ = next.stops_before;
        // The logon state counts as it is when the request's turn comes.
        if (logged_on_ || !next.route->needs_logon) co_await handle(*next.route, next.packet);
    }
    // Checked and cleared with nothing awaited in between: a request that
    // arrives later starts the dispatcher again.
    dispatching_ = false;
    if (inbox_.capacity() > kIdleInboxEntries) std::vector<Queued>().swap(inbox_);
}

asio::awaitable<void> Session::handle(const Route& route, const wire::Packet& packet) {
    // Called outside a coroutine: g++ 12 passes a wrong `this` to a member
    // coroutine called through a member pointer inside a coroutine.
    return (this->*route.in_turn)(packet);
}

}  // namespace rk::core
