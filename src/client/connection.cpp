#include "client/connection.h"

#include <algorithm>
#include <asio/connect.hpp>
#include <asio/write.hpp>
#include <limits>

#include "wire/codes.h"
#include "wire/payload.h"

namespace rk::client {

using wire::code_of;

std::string to_wire_path(std::string_view path) {
    std::string out;
    out.reserve(path.size() + 1);
    for (char c : path) {
        if (c == '/' || c == '\\') {
            if (out.empty() || out.back() != '\\') out += '\\';
        } else {
            if (out.empty()) out += '\\';
            out += c;
        }
    }
    if (out.size() > 1 && out.back() == '\\') out.pop_back();
    if (out.empty()) out = "\\";
    return out;
}

Connection::Connection(Options options) : options_(options), socket_(io_) {}

Connection::~Connection() { close(); }

std::unique_ptr<Connection> Connection::connect(const std::string& host, std::uint16_t port,
                                                std::error_code& ec, Options options) {
    // Declared before the connection so they outlive any handler its
    // io_context might still hold.
    bool done = false;
    std::error_code result;
    std::unique_ptr<Connection> c(new Connection(options));

    asio::ip::tcp::resolver resolver(c->io_);
    const auto endpoints = resolver.resolve(host, std::to_string(port), ec);
    if (ec) return nullptr;

    // Asynchronous only to bound the wait: a blocking connect to a host that
    // drops packets would hang for minutes.
    asio::async_connect(c->socket_, endpoints,
                        [&](const std::error_code& e, const asio::ip::tcp::endpoint&) {
                            result = e;
                            done = true;
                        });
    c->io_.run_for(options.connect_timeout);
    if (!done) {
        ec = asio::error::timed_out;
        return nullptr;
    }
    if (result) {
        ec = result;
        return nullptr;
    }
    // Acknowledgements are tiny and answered at once; Nagle would hold them.
    std::error_code ignored;
    c->socket_.set_option(asio::ip::tcp::no_delay(true), ignored);
    ec.clear();
    return c;
}

void Connection::close() {
    if (closed_) return;
    // Posted packets not yet written go unsent: writing them could block on
    // a peer that no longer reads.
    posted_.clear();
    closed_ = true;
    std::error_code ignored;
    socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
}

void Connection::fail(std::error_code ec) {
    if (!error_) error_ = ec;
    close();
}

namespace {

// Posted packets are written once this many bytes have gathered.
constexpr std::size_t kPostBlock = 64 * 1024;

}  // namespace

void Connection::write(std::span<const std::uint8_t> bytes) {
    flush();
    if (closed_) return;
    std::error_code ec;
    asio::write(socket_, asio::buffer(bytes.data(), bytes.size()), ec);
    if (ec) fail(ec);
}

void Connection::flush() {
    if (posted_.empty() || closed_) return;
    std::error_code ec;
    asio::write(socket_, asio::buffer(posted_), ec);
    posted_.clear();
    if (ec) fail(ec);
}

std::uint32_t Connection::post(wire::Kind kind, std::uint8_t code, std::array<std::int32_t, 4> args,
                               std::span<const std::uint8_t> payload) {
    const wire::PacketHead head = number(kind, code, args, false);
    if (closed_) return head.seq;  // nothing goes out any more
    wire::append_packet(posted_, head, payload);
    if (posted_.size() >= kPostBlock) flush();
    return head.seq;
}

void Connection::send_raw(std::span<const std::uint8_t> bytes) { write(bytes); }

wire::PacketHead Connection::number(wire::Kind kind, std::uint8_t code,
                                    std::array<std::int32_t, 4> args, bool want_ack) {
    wire::PacketHead head;
    head.seq = next_seq_++;
    head.code = code;
    head.kind = std::uint8_t(kind);
    head.want_ack = want_ack ? wire::kWantAck : 0;
    head.arg1 = args[0];
    head.arg2 = args[1];
    head.arg3 = args[2];
    head.arg4 = args[3];
    return head;
}

std::uint32_t Connection::send(wire::Kind kind, std::uint8_t code, std::array<std::int32_t, 4> args,
                               std::span<const std::uint8_t> payload, bool want_ack) {
    const wire::PacketHead head = number(kind, code, args, want_ack);
    std::vector<std::uint8_t> bytes = wire::encode_packet(head, payload);
    write(bytes);
    if (want_ack) unacked_[head.seq] = Unacked{std::move(bytes), false};
    return head.seq;
}

bool Connection::wait_ack(std::uint32_t seq) {
    const auto it = unacked_.find(seq);
    if (it == unacked_.end()) return ack_ring_.contains(seq);

    const auto deadline = Clock::now() + options_.ack_timeout;
    auto next_resend = Clock::now() + options_.resend_interval;
    bool ok = false;
    for (;;) {
        if (it->second.acked) {
            ok = true;
            break;
        }
        if (closed_) break;
        const auto now = Clock::now();
        if (now >= deadline) break;
        if (now >= next_resend) {
            write(it->second.bytes);
            next_resend = now + options_.resend_interval;
        }
        pump(std::min(next_resend, deadline));
    }
    unacked_.erase(it);
    return ok;
}

bool Connection::request(wire::Kind kind, std::uint8_t code, std::array<std::int32_t, 4> args,
                         std::span<const std::uint8_t> payload) {
    return wait_ack(send(kind, code, args, payload, true));
}

std::uint32_t Connection::send(const wire::Packet& packet) {
    const wire::PacketHead& h = packet.head;
    return send(wire::Kind(h.kind), h.code, {h.arg1, h.arg2, h.arg3, h.arg4}, packet.payload,
                h.want_ack != 0);
}

bool Connection::request(const wire::Packet& packet) {
    const wire::PacketHead& h = packet.head;
    return request(wire::Kind(h.kind), h.code, {h.arg1, h.arg2, h.arg3, h.arg4}, packet.payload);
}

void Connection::ack(std::uint32_t seq) { write(wire::encode_ack(current_seq(), seq)); }

bool Connection::acked(std::uint32_t seq) const {
    if (ack_ring_.contains(seq)) return true;
    const auto it = unacked_.find(seq);
    return it != unacked_.end() && it->second.acked;
}

void Connection::pump(Clock::time_point deadline) {
    flush();
    if (closed_) return;
    // One read stays outstanding across calls: a wait that ends with no bytes
    // leaves it in place rather than cancelling it, so nothing is lost.
    if (!read_pending_) {
        read_pending_ = true;
        socket_.async_read_some(asio::buffer(read_buffer_),
                                [this](const std::error_code& ec, std::size_t n) {
                                    read_done_ = true;
                                    read_error_ = ec;
                                    read_size_ = n;
                                });
    }
    io_.restart();
    const auto now = Clock::now();
    if (deadline > now) {
        io_.run_for(deadline - now);
    } else {
        io_.poll();
    }
    if (!read_done_) return;
    read_done_ = false;
    read_pending_ = false;
    if (read_error_) {
        fail(read_error_);
        return;
    }
    const auto result = framer_.take(std::span<const std::uint8_t>(read_buffer_.data(), read_size_),
                                     [this](std::span<const std::uint8_t> packet) {
                                         if (!closed_) take(packet);
                                     });
    // The stream cannot be resynchronised; carrying on would only misread
    // what follows.
    if (result == wire::Framer::Result::fatal && !closed_)
        fail(std::make_error_code(std::errc::protocol_error));
}

void Connection::take(std::span<const std::uint8_t> bytes) {
    // A damaged packet gets no answer; if it wanted an acknowledgement the
    // server resends it.
    if (!wire::checksum_ok(bytes)) {
        ++corrupt_;
        return;
    }
    auto packet = wire::decode_packet(bytes);
    if (!packet) {
        ++corrupt_;
        return;
    }
    const wire::PacketHead& head = packet->head;
    if (head.kind == std::uint8_t(wire::Kind::ack)) {
        const auto acked_seq = std::uint32_t(head.arg1);
        ack_ring_.add(acked_seq);
        // The ring forgets after ten; a request being waited on must not.
        if (auto it = unacked_.find(acked_seq); it != unacked_.end()) {
            it->second.acked = true;
            it->second.bytes = {};
        }
        return;
    }
    // Before the duplicate test: a copy means our earlier ack was lost.
    if (head.want_ack != 0 && options_.auto_ack) ack(head.seq);
    if (options_.suppress_duplicates && !recent_.accept(head.seq)) return;
    inbox_.push_back(std::move(*packet));
}

std::optional<wire::Packet> Connection::receive(std::chrono::milliseconds timeout) {
    // Packets already queued cost no look at the clock.
    std::optional<Clock::time_point> deadline;
    for (;;) {
        if (!inbox_.empty()) {
            wire::Packet packet = std::move(inbox_.front());
            inbox_.pop_front();
            return packet;
        }
        if (!deadline) deadline = Clock::now() + timeout;
        if (closed_) return std::nullopt;
        const bool expired = Clock::now() >= *deadline;
        pump(*deadline);
        if (expired && inbox_.empty()) return std::nullopt;
    }
}

std::optional<wire::Packet> Connection::receive_code(std::uint8_t code,
                                                     std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        auto packet = receive(std::max(left, std::chrono::milliseconds(0)));
        if (!packet || packet->head.code == code) return packet;
    }
}

std::optional<wire::Packet> Connection::receive_if(
    const std::function<bool(const wire::PacketHead&)>& wanted, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        auto left = std::chrono::milliseconds(0);
        if (inbox_.empty()) {
            left = std::max(
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()),
                left);
        }
        auto packet = receive(left);
        if (!packet || wanted(packet->head)) return packet;
    }
}

std::int32_t Connection::take_transfer_id() {
    const std::int32_t id = next_transfer_id_;
    next_transfer_id_ = id == std::numeric_limits<std::int32_t>::max() ? 1 : id + 1;
    return id;
}

std::optional<wire::Packet> Connection::await_reply(std::initializer_list<std::uint8_t> codes,
                                                    Clock::time_point deadline) {
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        auto packet = receive(std::max(left, std::chrono::milliseconds(0)));
        if (!packet) return packet;
        if (packet->head.kind == std::uint8_t(wire::Kind::reply) &&
            std::find(codes.begin(), codes.end(), packet->head.code) != codes.end()) {
            return packet;
        }
    }
}

LogonResult Connection::logon(std::string_view name, std::string_view password) {
    using wire::Reply;
    const auto payload = wire::write_credentials(name, password);
    if (!request(wire::Kind::request, code_of(wire::Request::logon),
                 {wire::kProtocolVersion, 0, 0, 0}, payload)) {
        return {};
    }
    const auto deadline = Clock::now() + options_.answer_timeout;
    // A version mismatch is told in two replies: 158 with the server's
    // version, then 152; the server then closes, so 152 may never be read.
    std::optional<std::int32_t> server_version;
    while (auto reply = await_reply({code_of(Reply::logon_accepted), code_of(Reply::logon_refused),
                                     code_of(Reply::wrong_version)},
                                    deadline)) {
        const std::int32_t arg1 = reply->head.arg1;
        switch (Reply(reply->head.code)) {
            case Reply::logon_accepted:
                return {Logon::accepted, arg1};
            case Reply::wrong_version:
                server_version = arg1;
                continue;
            default:
                break;
        }
        switch (wire::LogonRefusal(arg1)) {
            case wire::LogonRefusal::bad_credentials:
                return {Logon::bad_credentials, 0};
            case wire::LogonRefusal::forbidden:
                return {Logon::forbidden, 0};
            case wire::LogonRefusal::wrong_version:
                return {Logon::wrong_version, server_version.value_or(0)};
        }
        return {Logon::refused, arg1};
    }
    if (server_version) return {Logon::wrong_version, *server_version};
    return {};
}

bool Connection::logoff() {
    if (!request(wire::Kind::request, code_of(wire::Request::logoff))) return false;
    return await_reply({code_of(wire::Reply::logged_off)}, Clock::now() + options_.answer_timeout)
        .has_value();
}

AccountResult Connection::create_account(std::string_view name, std::string_view password) {
    using wire::Reply;
    const auto payload = wire::write_credentials(name, password);
    if (!request(wire::Kind::request, code_of(wire::Request::create_account), {}, payload)) {
        return AccountResult::no_answer;
    }
    const auto reply = await_reply({code_of(Reply::account_created), code_of(Reply::name_taken),
                                    code_of(Reply::accounts_closed)},
                                   Clock::now() + options_.answer_timeout);
    if (!reply) return AccountResult::no_answer;
    switch (Reply(reply->head.code)) {
        case Reply::account_created:
            return AccountResult::created;
        case Reply::name_taken:
            return AccountResult::name_taken;
        default:
            return AccountResult::not_allowed;
    }
}

bool Connection::request_path(std::uint8_t code, std::string_view wire_path) {
    return request(wire::Kind::request, code, {}, wire::path_payload(wire_path));
}

RemoveResult Connection::remove_file(std::string_view wire_path) {
    using wire::Reply;
    if (!request_path(code_of(wire::Request::delete_file), wire_path)) {
        return RemoveResult::no_answer;
    }
    const auto reply = await_reply({code_of(Reply::file_deleted), code_of(Reply::delete_failed)},
                                   Clock::now() + options_.answer_timeout);
    if (!reply) return RemoveResult::no_answer;
    return reply->head.code == code_of(Reply::file_deleted) ? RemoveResult::deleted
                                                            : RemoveResult::failed;
}

bool Connection::make_folder(std::string_view wire_path) {
    return request_path(code_of(wire::Request::create_folder), wire_path);
}

bool Connection::remove_folder(std::string_view wire_path) {
    return request_path(code_of(wire::Request::remove_folder), wire_path);
}

bool Connection::reset_slot(std::string_view wire_path) {
    return request_path(code_of(wire::Request::reset_slot_dates), wire_path);
}

bool Connection::remove_tree(std::string_view wire_path) {
    if (!request_path(code_of(wire::Request::delete_tree), wire_path)) return false;
    return await_reply({code_of(wire::Reply::tree_deleted)}, Clock::now() + options_.answer_timeout)
        .has_value();
}

SlotDates Connection::slot_dates(std::string_view wire_path) {
    SlotDates result;
    const std::int32_t echo = take_transfer_id();
    if (!request(wire::Kind::request, code_of(wire::Request::ask_slot_dates), {echo, 0, 0, 0},
                 wire::path_payload(wire_path))) {
        return result;
    }
    // The echo tells this answer from a late one to an earlier question.
    const auto reply = receive_if(
        [echo](const wire::PacketHead& h) {
            return h.kind == std::uint8_t(wire::Kind::reply) &&
                   h.code == code_of(wire::Reply::slot_dates) && h.arg1 == echo;
        },
        options_.answer_timeout);
    if (!reply) return result;
    result.answered = true;
    result.dates = {reply->head.arg2, reply->head.arg3, reply->head.arg4};
    return result;
}

}  // namespace rk::client
