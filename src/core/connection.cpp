#include "core/connection.h"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <chrono>

#include "core/engine.h"
#include "core/signal.h"
#include "wire/codes.h"
#include "wire/payload.h"

namespace rk::core {

namespace {

using wire::Kind;
using wire::Reply;
using wire::Request;

// A client that queues more than this without waiting for answers is not
// one we can serve.
constexpr std::size_t kInboxLimitPackets = 65536;
constexpr std::size_t kInboxLimitBytes = 16u << 20;
// Bytes gathered into one write. Small packets (acknowledgements, replies)
// are copied together, since a write takes only a few dozen separate buffers.
constexpr std::size_t kGatherBytes = 64 * 1024;
// Bytes a connection may have waiting to be written. Only a peer that sends
// without ever reading gets there; it would otherwise make us hold its
// acknowledgements without bound.
constexpr std::size_t kOutLimitBytes = 16u << 20;

std::string peer_of(const asio::ip::tcp::socket& socket) {
    std::error_code ec;
    const auto endpoint = socket.remote_endpoint(ec);
    if (ec) return "?";
    return endpoint.address().to_string() + ":" + std::to_string(endpoint.port());
}

// Packets that steer a running transfer (stop 111, resend 120, received 121,
// and the client's refusals 160 and 165) act as they arrive, not queued
// behind a request that may be waiting for an acknowledgement.
bool is_immediate(const wire::Packet& packet) {
    const auto kind = Kind(packet.head.kind);
    const std::uint8_t code = packet.head.code;
    if (kind == Kind::reply) return true;
    return kind == Kind::request &&
           (code == std::uint8_t(Request::stop_transfer) ||
            code == std::uint8_t(Request::resend_from) ||
            code == std::uint8_t(Request::transfer_received));
}

}  // namespace

Connection::Connection(Engine& engine, asio::ip::tcp::socket socket, std::uint64_t id)
    : engine_(engine),
      socket_(std::move(socket)),
      id_(id),
      peer_(peer_of(socket_)),
      last_activity_(engine.now()),
      writer_wake_(engine.io()),
      ack_wake_(engine.io()),
      dispatch_wake_(engine.io()),
      // Transfer ids differ from one connection to the next, as clients expect.
      next_transfer_id_(std::uint32_t(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count())),
      stream_wake_(engine.io()),
      stream_changed_(engine.io()) {}

Connection::~Connection() = default;

void Connection::start() {
    spdlog::info("connection {} opened from {}", id_, peer_);
    std::error_code ec;
    socket_.non_blocking(true, ec);
    socket_.set_option(asio::ip::tcp::no_delay(true), ec);
    spawn([this] { return read_loop(); });
    spawn([this] { return write_loop(); });
    spawn([this] { return dispatch_loop(); });
}

void Connection::spawn(const std::function<asio::awaitable<void>()>& coroutine) {
    // An error that escapes a coroutine must not leave a half-working
    // connection behind.
    asio::co_spawn(engine_.io(), coroutine(), [self = shared_from_this()](std::exception_ptr error) {
        if (!error) return;
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& e) {
            spdlog::error("connection {}: {}", self->id(), e.what());
        }
        self->close("internal error");
    });
}

void Connection::close(std::string_view reason) {
    if (closing()) return;
    auto self = shared_from_this();  // the engine may hold the last reference
    state_ = ConnState::closing;
    spdlog::info("connection {} from {} closed: {}", id_, peer_, reason);
    std::error_code ignored;
    socket_.close(ignored);
    out_.clear();
    out_bytes_ = 0;
    inbox_.clear();
    writer_wake_.cancel();
    ack_wake_.cancel();
    dispatch_wake_.cancel();
    // A running walk or stream stops; a half-received upload is dropped.
    *stop_request_ = true;
    engine_.wake_walks();
    stream_wake_.cancel();
    stream_changed_.cancel();
    upload_.abandon();
    engine_.forget(*this);
}

// ---- receiving ----

asio::awaitable<void> Connection::read_loop() {
    const auto self = shared_from_this();  // held by the frame itself
    std::vector<std::uint8_t> raw;
    while (!closing()) {
        std::error_code wait_ec;
        co_await socket_.async_wait(asio::socket_base::wait_read,
                                    asio::redirect_error(asio::use_awaitable, wait_ec));
        if (closing()) co_return;
        if (wait_ec) {
            close(wait_ec.message());
            co_return;
        }
        std::error_code ec;
        const std::size_t n = socket_.read_some(
            asio::buffer(engine_.read_buffer().data(), engine_.read_buffer().size()), ec);
        if (ec == asio::error::would_block || ec == asio::error::try_again) continue;
        if (ec) {
            close(ec == asio::error::eof ? "closed by the client" : ec.message());
            co_return;
        }
        last_activity_ = engine_.now();
        framer_.feed(engine_.read_buffer().first(n));
        for (;;) {
            const auto result = framer_.next(raw);
            if (result == wire::Framer::Result::need_more) break;
            if (result == wire::Framer::Result::fatal) {
                spdlog::warn("connection {}: {}", id_, framer_.error());
                close("framing error");
                co_return;
            }
            receive(raw);
            if (closing()) co_return;
        }
        // An idle connection keeps no large buffer from one big packet.
        if (raw.capacity() > kGatherBytes) std::vector<std::uint8_t>().swap(raw);
        if (inbox_.size() > kInboxLimitPackets || inbox_bytes_ > kInboxLimitBytes) {
            close("too many requests waiting");
            co_return;
        }
    }
}

void Connection::receive(std::vector<std::uint8_t>& raw) {
    if (!wire::checksum_ok(raw)) return;  // the sender's resend repairs it
    auto packet = wire::decode_packet(raw);
    if (!packet) return;
    const auto& head = packet->head;
    if (Kind(head.kind) == Kind::ack) {
        acks_.add(std::uint32_t(head.arg1));
        ack_wake_.cancel();
        return;
    }
    if (head.want_ack != 0) send_ack(head.seq);
    if (!recent_.accept(head.seq)) return;
    // Old saves await conversion: nothing is acted on until it is done.
    if (engine_.accounts().convert_pending()) return;
    if (is_immediate(*packet)) {
        if (state_ == ConnState::logged_on) steer_stream(*packet);
        return;
    }
    inbox_bytes_ += packet->payload.size() + wire::kHeaderSize;
    inbox_.push_back({std::move(*packet), stops_received_});
    dispatch_wake_.cancel();
}

asio::awaitable<void> Connection::dispatch_loop() {
    const auto self = shared_from_this();  // held by the frame itself
    while (!closing()) {
        if (inbox_.empty()) {
            co_await wait_signal(dispatch_wake_);
            continue;
        }
        wire::Packet packet = std::move(inbox_.front().packet);
        stops_before_current_ = inbox_.front().stops_before;
        inbox_.pop_front();
        inbox_bytes_ -= packet.payload.size() + wire::kHeaderSize;
        co_await handle(packet);
    }
}

// ---- sending ----

void Connection::queue(std::shared_ptr<const Bytes> bytes) {
    if (closing() || engine_.shutting_down()) return;
    if (out_bytes_ + bytes->size() > kOutLimitBytes) {
        close("client does not read what it asks for");
        return;
    }
    if (out_.empty()) {
        front_since_ = engine_.now();
        watch();
    }
    out_bytes_ += bytes->size();
    out_.push_back({std::move(bytes)});
    writer_wake_.cancel();
}

bool Connection::queued(const std::shared_ptr<const Bytes>& bytes) const {
    return std::any_of(out_.begin(), out_.end(),
                       [&](const Outgoing& o) { return o.bytes == bytes; });
}

void Connection::send_ack(std::uint32_t seq) {
    queue(std::make_shared<const Bytes>(wire::encode_ack(send_seq_, seq)));
}

asio::awaitable<bool> Connection::send(wire::PacketHead head, std::span<const std::uint8_t> payload) {
    // A closing connection still uses up the number.
    head.seq = ++send_seq_;
    if (closing()) co_return false;
    auto bytes = std::make_shared<const Bytes>(wire::encode_packet(head, payload));
    queue(bytes);
    // A completed send renews the link; resends of an unacknowledged reply
    // do not, so a client that never acknowledges still falls silent.
    if (head.want_ack == 0) {
        last_activity_ = engine_.now();
        co_return true;
    }

    awaiting_.push_back({head.seq, bytes, engine_.now() + Engine::kResendMs});
    watch();
    while (!closing() && !acks_.contains(head.seq)) co_await wait_signal(ack_wake_);
    std::erase_if(awaiting_, [&](const AwaitingAck& a) { return a.seq == head.seq; });
    if (closing()) co_return false;
    last_activity_ = engine_.now();
    co_return true;
}

asio::awaitable<bool> Connection::send_reply(std::uint8_t code, std::int32_t arg1, std::int32_t arg2) {
    wire::PacketHead head;
    head.code = code;
    head.kind = std::uint8_t(Kind::reply);
    head.want_ack = wire::kWantAck;
    head.arg1 = arg1;
    head.arg2 = arg2;
    co_return co_await send(head);
}

asio::awaitable<void> Connection::write_loop() {
    const auto self = shared_from_this();  // held by the frame itself
    Bytes gathered;
    while (!closing()) {
        if (out_.empty()) {
            if (gathered.capacity() > 4096) Bytes().swap(gathered);  // idle: hold no buffer
            co_await wait_signal(writer_wake_);
            continue;
        }
        gathered.clear();
        for (std::size_t i = 0; i < out_.size(); ++i) {
            const Bytes& b = *out_[i].bytes;
            const std::size_t skip = i == 0 ? front_written_ : 0;
            if (i > 0 && gathered.size() + b.size() > kGatherBytes) break;
            gathered.insert(gathered.end(), b.begin() + std::ptrdiff_t(skip), b.end());
        }
        std::error_code ec;
        std::size_t n = co_await socket_.async_write_some(
            asio::buffer(gathered), asio::redirect_error(asio::use_awaitable, ec));
        if (closing()) co_return;
        if (ec == asio::error::would_block || ec == asio::error::try_again) continue;
        if (ec) {
            close(ec.message());
            co_return;
        }
        // Whole packets written leave the queue; the next one starts its clock.
        while (n > 0) {
            const std::size_t left = out_.front().bytes->size() - front_written_;
            if (n < left) {
                front_written_ += n;
                break;
            }
            n -= left;
            out_bytes_ -= out_.front().bytes->size();
            out_.pop_front();
            front_written_ = 0;
            front_since_ = engine_.now();
        }
        if (stream_running_) stream_changed_.cancel();
    }
}

void Connection::watch() {
    if (watched_ || closing()) return;
    watched_ = true;
    engine_.watch(shared_from_this());
}

bool Connection::on_tick(std::uint64_t now) {
    if (closing()) return watched_ = false;
    if (!out_.empty() && now > front_since_ + Engine::kSendGiveUpMs) {
        close("client stopped reading");
        return watched_ = false;
    }
    for (AwaitingAck& a : awaiting_) {
        if (a.resend_at > now) continue;
        a.resend_at = now + Engine::kResendMs;
        // The same bytes again, unless the last copy is still waiting to go.
        if (!queued(a.bytes)) queue(a.bytes);
    }
    if (stream_wake_at_ != 0 && now >= stream_wake_at_) stream_wake_.cancel();
    if (waiting_for_stream_) stream_changed_.cancel();
    watched_ = !out_.empty() || !awaiting_.empty() || stream_wake_at_ != 0 || waiting_for_stream_;
    return watched_;
}

}  // namespace rk::core
