#include "core/link.h"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <asio/co_spawn.hpp>
#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>

#include "core/engine.h"

namespace rk::core {

namespace {

// Bytes gathered into one write. Small packets (acknowledgements, replies)
// are copied together, since a write takes only a few dozen separate buffers.
constexpr std::size_t kGatherBytes = 64 * 1024;
// Bytes a link may have waiting to be written. Only a peer that sends
// without ever reading gets there; it would otherwise make us hold its
// acknowledgements without bound.
constexpr std::size_t kOutLimitBytes = 16u << 20;

std::string peer_of(const asio::ip::tcp::socket& socket) {
    std::error_code ec;
    const auto endpoint = socket.remote_endpoint(ec);
    if (ec) return "?";
    return endpoint.address().to_string() + ":" + std::to_string(endpoint.port());
}

}  // namespace

Link::Link(Engine& engine, asio::ip::tcp::socket socket, std::uint64_t id, LinkOwner& owner)
    : engine_(engine),
      socket_(std::move(socket)),
      id_(id),
      peer_(peer_of(socket_)),
      owner_(owner),
      last_activity_(engine.clock().now()),
      queued_(engine.io()),
      written_(engine.io()),
      acked_(engine.io()) {}

void Link::start(const std::shared_ptr<void>& keep_alive) {
    spdlog::info("connection {} opened from {}", id_, peer_);
    std::error_code ec;
    socket_.non_blocking(true, ec);
    socket_.set_option(asio::ip::tcp::no_delay(true), ec);
    spawn(keep_alive, [this] { return read_loop(); });
    spawn(keep_alive, [this] { return write_loop(); });
    spawn(keep_alive, [this] { return stall_watch(); });
}

void Link::spawn(const std::shared_ptr<void>& keep_alive,
                 const std::function<asio::awaitable<void>()>& coroutine) {
    // An error that escapes a coroutine must not leave a half-working
    // connection behind.
    asio::co_spawn(engine_.io(), coroutine(), [this, keep_alive](std::exception_ptr error) {
        if (!error) return;
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& e) {
            spdlog::error("connection {}: {}", id_, e.what());
        }
        close("internal error");
    });
}

void Link::close(std::string_view reason) {
    if (closed_) return;
    closed_ = true;
    spdlog::info("connection {} from {} closed: {}", id_, peer_, reason);
    std::error_code ignored;
    socket_.close(ignored);
    out_.clear();
    out_bytes_ = 0;
    queued_.notify();
    written_.notify();
    acked_.notify();
    // Last: the owner may let go of this link.
    owner_.on_link_closed();
}

// ---- receiving ----

asio::awaitable<void> Link::read_loop() {
    std::vector<std::uint8_t> raw;
    const auto buffer = engine_.read_buffer();
    while (!closed_) {
        std::error_code wait_ec;
        co_await socket_.async_wait(asio::socket_base::wait_read,
                                    asio::redirect_error(asio::use_awaitable, wait_ec));
        if (closed_) co_return;
        if (wait_ec) {
            close(wait_ec.message());
            co_return;
        }
        std::error_code ec;
        const std::size_t n = socket_.read_some(asio::buffer(buffer.data(), buffer.size()), ec);
        if (ec == asio::error::would_block || ec == asio::error::try_again) continue;
        if (ec) {
            close(ec == asio::error::eof ? "closed by the client" : ec.message());
            co_return;
        }
        last_activity_ = engine_.clock().now();
        framer_.feed(buffer.first(n));
        for (;;) {
            const auto result = framer_.next(raw);
            if (result == wire::Framer::Result::need_more) break;
            if (result == wire::Framer::Result::fatal) {
                spdlog::warn("connection {}: {}", id_, framer_.error());
                close("framing error");
                co_return;
            }
            receive(raw);
            if (closed_) co_return;
        }
        // An idle link keeps no large buffer from one big packet.
        if (raw.capacity() > kGatherBytes) std::vector<std::uint8_t>().swap(raw);
    }
}

void Link::receive(std::vector<std::uint8_t>& raw) {
    if (!wire::checksum_ok(raw)) return;  // the sender's resend repairs it
    auto packet = wire::decode_packet(raw);
    if (!packet) return;
    const auto& head = packet->head;
    if (wire::Kind(head.kind) == wire::Kind::ack) {
        acks_.add(std::uint32_t(head.arg1));
        acked_.notify();
        return;
    }
    if (head.want_ack != 0)
        queue(std::make_shared<const Bytes>(wire::encode_ack(send_seq_, head.seq)));
    if (!recent_.accept(head.seq)) return;
    owner_.on_packet(std::move(*packet));
}

// ---- sending ----

void Link::queue(std::shared_ptr<const Bytes> bytes) {
    if (closed_ || engine_.shutting_down()) return;
    if (out_bytes_ + bytes->size() > kOutLimitBytes) {
        close("client does not read what it asks for");
        return;
    }
    if (out_.empty()) {
        front_since_ = engine_.clock().now();
        queued_.notify();
    }
    out_bytes_ += bytes->size();
    out_.push_back(std::move(bytes));
}

bool Link::queued(const std::shared_ptr<const Bytes>& bytes) const {
    return std::find(out_.begin(), out_.end(), bytes) != out_.end();
}

asio::awaitable<bool> Link::send(wire::PacketHead head, std::span<const std::uint8_t> payload) {
    // A closed link still uses up the number.
    head.seq = ++send_seq_;
    if (closed_) co_return false;
    auto bytes = std::make_shared<const Bytes>(wire::encode_packet(head, payload));
    queue(bytes);
    ServerClock& clock = engine_.clock();
    // A completed send renews the link; resends of an unacknowledged reply
    // do not, so a client that never acknowledges still falls silent.
    if (head.want_ack == 0) {
        last_activity_ = clock.now();
        co_return true;
    }

    std::uint64_t resend_at = clock.now() + kResendMs;
    while (!closed_ && !acks_.contains(head.seq)) {
        if (clock.now() >= resend_at) {
            resend_at = clock.now() + kResendMs;
            // The same bytes again, unless the last copy is still waiting to go.
            if (!queued(bytes)) queue(bytes);
            continue;
        }
        co_await clock.until(resend_at, acked_);
    }
    if (closed_) co_return false;
    last_activity_ = clock.now();
    co_return true;
}

asio::awaitable<bool> Link::send_reply(wire::Reply reply, std::int32_t arg1, std::int32_t arg2) {
    auto head = wire::packet_head(reply, true);
    head.arg1 = arg1;
    head.arg2 = arg2;
    co_return co_await send(head);
}

asio::awaitable<void> Link::drain_to(std::size_t bytes) {
    while (out_bytes_ > bytes && !closed_) co_await written_.wait();
}

asio::awaitable<void> Link::write_loop() {
    Bytes gathered;
    while (!closed_) {
        if (out_.empty()) {
            if (gathered.capacity() > 4096) Bytes().swap(gathered);  // idle: hold no buffer
            co_await queued_.wait();
            continue;
        }
        gathered.clear();
        for (std::size_t i = 0; i < out_.size(); ++i) {
            const Bytes& b = *out_[i];
            const std::size_t skip = i == 0 ? front_written_ : 0;
            if (i > 0 && gathered.size() + b.size() > kGatherBytes) break;
            gathered.insert(gathered.end(), b.begin() + std::ptrdiff_t(skip), b.end());
        }
        std::error_code ec;
        std::size_t n = co_await socket_.async_write_some(
            asio::buffer(gathered), asio::redirect_error(asio::use_awaitable, ec));
        if (closed_) co_return;
        if (ec == asio::error::would_block || ec == asio::error::try_again) continue;
        if (ec) {
            close(ec.message());
            co_return;
        }
        // Whole packets written leave the queue; the next one starts its clock.
        while (n > 0) {
            const std::size_t left = out_.front()->size() - front_written_;
            if (n < left) {
                front_written_ += n;
                break;
            }
            n -= left;
            out_bytes_ -= out_.front()->size();
            out_.pop_front();
            front_written_ = 0;
            front_since_ = engine_.clock().now();
        }
        written_.notify();
    }
}

asio::awaitable<void> Link::stall_watch() {
    ServerClock& clock = engine_.clock();
    while (!closed_) {
        if (out_.empty()) {
            co_await queued_.wait();
            continue;
        }
        // More than kSendGiveUpMs: a packet queued at 0 still goes at 6000.
        const std::uint64_t deadline = front_since_ + kSendGiveUpMs + 1;
        if (clock.now() >= deadline) {
            close("client stopped reading");
            co_return;
        }
        // The front may move on meanwhile; then the deadline is looked at again.
        co_await clock.until(deadline, queued_);
    }
}

}  // namespace rk::core
