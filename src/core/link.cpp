#include "core/link.h"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <asio/co_spawn.hpp>
#include <asio/post.hpp>
#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>

#include "core/engine.h"

namespace rk::core {

namespace {

// An idle link gives back a queue buffer larger than this.
constexpr std::size_t kIdleBufferBytes = 64 * 1024;
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
    owner_alive_ = keep_alive;
    spawn(keep_alive, [this] { return read_loop(); });
    if (waiting() > 0) {
        writing_ = true;
        spawn_own(&Link::write_loop);
    }
}

void Link::spawn_own(asio::awaitable<void> (Link::*coroutine)()) {
    const auto keep_alive = owner_alive_.lock();
    if (!keep_alive) return;  // not started, or the owner is going
    // Through a plain call, not the member pointer inside the coroutine:
    // g++ 12 would pass a wrong `this`.
    spawn(keep_alive, [this, coroutine] { return (this->*coroutine)(); });
}

void Link::spawn(const std::shared_ptr<void>& keep_alive,
                 const std::function<asio::awaitable<void>()>& coroutine) {
    // Posted: started from the caller, the coroutine would run at once,
    // inside whatever the caller is in the middle of.
    asio::post(engine_.io(), [this, keep_alive, coroutine] {
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
    });
}

void Link::close(std::string_view reason) {
    if (closed_) return;
    closed_ = true;
    spdlog::info("connection {} from {} closed: {}", id_, peer_, reason);
    std::error_code ignored;
    socket_.close(ignored);
    std::vector<std::uint8_t>().swap(out_);
    std::vector<std::uint64_t>().swap(ends_);
    out_start_ = 0;
    ends_head_ = 0;
    written_total_ = queued_total_;
    queued_.notify();
    written_.notify();
    acked_.notify();
    // Last: the owner may let go of this link.
    owner_.on_link_closed();
}

// ---- receiving ----

asio::awaitable<void> Link::read_loop() {
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
        last_activity_ = now();
        // Packets are read where they lie in the shared buffer; what the
        // owner keeps, it copies.
        const auto result =
            framer_.take(buffer.first(n), [this](std::span<const std::uint8_t> raw) {
                if (!closed_) receive(raw);
            });
        if (closed_) co_return;
        if (result == wire::Framer::Result::fatal) {
            spdlog::warn("connection {}: {}", id_, framer_.error());
            close("framing error");
            co_return;
        }
    }
}

void Link::receive(std::span<const std::uint8_t> raw) {
    if (!wire::checksum_ok(raw)) return;  // the sender's resend repairs it
    auto packet = wire::decode_packet(raw);
    if (!packet) return;
    const auto& head = packet->head;
    if (wire::Kind(head.kind) == wire::Kind::ack) {
        acks_.add(std::uint32_t(head.arg1));
        acked_.notify();
        return;
    }
    if (head.want_ack != 0 && make_room(wire::kAckSize)) {
        wire::append_ack(out_, send_seq_, head.seq);
        queued_packet(out_.size());
    }
    if (!recent_.accept(head.seq)) return;
    owner_.on_packet(std::move(*packet));
}

// ---- sending ----

bool Link::make_room(std::size_t size) {
    if (closed_ || engine_.shutting_down()) return false;
    if (waiting() + size > kOutLimitBytes) {
        close("client does not read what it asks for");
        return false;
    }
    return true;
}

std::uint64_t Link::now() const { return engine_.clock().now(); }

std::uint64_t Link::queued_packet(std::size_t end) {
    const bool was_empty = waiting() == 0;
    queued_total_ = written_total_ + (end - out_start_);
    ends_.push_back(queued_total_);
    if (was_empty) {
        front_since_ = now();
        queued_.notify();
        if (!writing_ && !owner_alive_.expired()) {
            writing_ = true;
            spawn_own(&Link::write_loop);
        }
    }
    return queued_total_;
}

std::uint64_t Link::queue(std::span<const std::uint8_t> bytes) {
    if (!make_room(bytes.size())) return 0;
    out_.insert(out_.end(), bytes.begin(), bytes.end());
    return queued_packet(out_.size());
}

bool Link::post(wire::PacketHead head, std::span<const std::uint8_t> payload) {
    // A closed link still uses up the number.
    head.seq = ++send_seq_;
    if (!make_room(wire::kHeaderSize + payload.size())) return false;
    wire::append_packet(out_, head, payload);
    queued_packet(out_.size());
    last_activity_ = now();
    return true;
}

bool Link::build(std::size_t count, std::size_t payload_size,
                 std::vector<std::span<std::uint8_t>>& slots) {
    slots.clear();
    room_stride_ = wire::kHeaderSize + payload_size;
    if (!make_room(count * room_stride_)) return false;
    room_at_ = out_.size();
    out_.resize(room_at_ + count * room_stride_);
    for (std::size_t i = 0; i < count; ++i)
        slots.push_back(
            std::span(out_).subspan(room_at_ + i * room_stride_ + wire::kHeaderSize, payload_size));
    return true;
}

asio::awaitable<bool> Link::send(wire::PacketHead head, std::span<const std::uint8_t> payload) {
    // A completed send renews the link; resends of an unacknowledged reply
    // do not, so a client that never acknowledges still falls silent.
    if (head.want_ack == 0) co_return post(head, payload);
    head.seq = ++send_seq_;
    if (closed_) co_return false;
    const std::vector<std::uint8_t> bytes = wire::encode_packet(head, payload);
    std::uint64_t copy_ends = queue(bytes);
    ServerClock& clock = engine_.clock();
    std::uint64_t resend_at = clock.now() + kResendMs;
    while (!closed_ && !acks_.contains(head.seq)) {
        if (clock.now() >= resend_at) {
            resend_at = clock.now() + kResendMs;
            // The same bytes again, unless the last copy is still waiting to go.
            if (written_total_ >= copy_ends) copy_ends = queue(bytes);
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
    while (waiting() > bytes && !closed_) co_await written_.wait();
}

asio::awaitable<void> Link::write_loop() {
    while (!closed_ && waiting() > 0) {
        // Everything waiting in one write: the socket takes what it can.
        std::error_code ec;
        const std::size_t n = socket_.write_some(
            asio::buffer(out_.data() + out_start_, out_.size() - out_start_), ec);
        if (ec == asio::error::would_block || ec == asio::error::try_again) {
            if (!watching_) {
                watching_ = true;
                spawn_own(&Link::stall_watch);
            }
            co_await socket_.async_wait(asio::socket_base::wait_write,
                                        asio::redirect_error(asio::use_awaitable, ec));
            if (closed_) co_return;
            if (ec) {
                close(ec.message());
                co_return;
            }
            continue;
        }
        if (ec) {
            close(ec.message());
            co_return;
        }
        written(n);
        written_.notify();
    }
    // Tested and cleared with nothing awaited in between: a packet queued
    // later starts a writer again.
    writing_ = false;
    if (out_.capacity() > kIdleBufferBytes) {
        std::vector<std::uint8_t>().swap(out_);
        std::vector<std::uint64_t>().swap(ends_);
    }
}

void Link::written(std::size_t n) {
    out_start_ += n;
    written_total_ += n;
    // Whole packets written leave the queue; the next one starts its clock.
    const std::size_t front = ends_head_;
    while (ends_head_ < ends_.size() && ends_[ends_head_] <= written_total_) ++ends_head_;
    if (ends_head_ != front) front_since_ = now();
    if (out_start_ == out_.size()) {
        out_.clear();
        ends_.clear();
        out_start_ = 0;
        ends_head_ = 0;
    } else if (out_start_ >= kIdleBufferBytes && out_start_ * 2 >= out_.size()) {
        out_.erase(out_.begin(), out_.begin() + std::ptrdiff_t(out_start_));
        ends_.erase(ends_.begin(), ends_.begin() + std::ptrdiff_t(ends_head_));
        out_start_ = 0;
        ends_head_ = 0;
    }
}

asio::awaitable<void> Link::stall_watch() {
    ServerClock& clock = engine_.clock();
    while (!closed_ && waiting() > 0) {
        // More than kSendGiveUpMs: a packet queued at 0 still goes at 6000.
        const std::uint64_t deadline = front_since_ + kSendGiveUpMs + 1;
        if (clock.now() >= deadline) {
            close("client stopped reading");
            break;
        }
        // The front may move on meanwhile; then the deadline is looked at again.
        co_await clock.until(deadline, queued_);
    }
    watching_ = false;
}

}  // namespace rk::core
