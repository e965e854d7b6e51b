#include "scripted_peer.h"

#include <algorithm>
#include <asio/connect.hpp>
#include <asio/write.hpp>

#include "wire/codes.h"
#include "wire/compression.h"
#include "wire/payload.h"

namespace rk::client::test {

std::optional<Bytes> PeerLink::next_raw() {
    wire::Framer::View packet;
    for (;;) {
        switch (framer_.next(packet)) {
            case wire::Framer::Result::packet:
                return Bytes(packet.begin(), packet.end());
            case wire::Framer::Result::fatal:
                return std::nullopt;
            case wire::Framer::Result::need_more:
                break;
        }
        std::array<std::uint8_t, 4096> buffer;
        std::error_code ec;
        const std::size_t n = socket_.read_some(asio::buffer(buffer), ec);
        if (ec) return std::nullopt;
        framer_.feed(std::span(buffer.data(), n));
    }
}

std::optional<wire::Packet> PeerLink::next() {
    auto bytes = next_raw();
    if (!bytes) return std::nullopt;
    return wire::decode_packet(*bytes);
}

std::optional<wire::Packet> PeerLink::next_request() {
    for (;;) {
        auto packet = next();
        if (!packet || packet->head.kind != std::uint8_t(wire::Kind::ack)) return packet;
        acks_seen_.push_back(std::uint32_t(packet->head.arg1));
    }
}

Bytes PeerLink::send(wire::Kind kind, std::uint8_t code, std::int32_t arg1, bool want_ack,
                     std::span<const std::uint8_t> payload) {
    wire::PacketHead head;
    head.seq = next_seq_++;
    head.kind = std::uint8_t(kind);
    head.code = code;
    head.want_ack = want_ack ? wire::kWantAck : 0;
    head.arg1 = arg1;
    Bytes bytes = wire::encode_packet(head, payload);
    send_raw(bytes);
    return bytes;
}

Bytes PeerLink::send_args(wire::Kind kind, std::uint8_t code, std::array<std::int32_t, 4> args,
                          bool want_ack, std::span<const std::uint8_t> payload) {
    wire::PacketHead head;
    head.seq = next_seq_++;
    head.kind = std::uint8_t(kind);
    head.code = code;
    head.want_ack = want_ack ? wire::kWantAck : 0;
    head.arg1 = args[0];
    head.arg2 = args[1];
    head.arg3 = args[2];
    head.arg4 = args[3];
    Bytes bytes = wire::encode_packet(head, payload);
    send_raw(bytes);
    return bytes;
}

void PeerLink::send_raw(std::span<const std::uint8_t> bytes) {
    std::error_code ec;
    asio::write(socket_, asio::buffer(bytes.data(), bytes.size()), ec);
}

void PeerLink::ack(std::uint32_t seq) { send_raw(wire::encode_ack(next_seq_ - 1, seq)); }

void PeerLink::hang_up() {
    std::error_code ec;
    socket_.shutdown(asio::ip::tcp::socket::shutdown_send, ec);
    // Reading on until the client closes keeps its last acknowledgements
    // from turning our close into a reset that could swallow our replies.
    while (next_raw()) {
    }
}

ScriptedPeer::ScriptedPeer(Script script)
    : acceptor_(io_, asio::ip::tcp::endpoint(asio::ip::address_v4::loopback(), 0)) {
    port_ = acceptor_.local_endpoint().port();
    thread_ = std::thread([this, script = std::move(script)] {
        std::error_code ec;
        asio::ip::tcp::socket socket(io_);
        acceptor_.accept(socket, ec);
        accepted_ = true;
        if (ec) return;
        PeerLink link(std::move(socket));
        script(link);
        // The client decides when the connection ends.
        while (link.next_raw()) {
        }
    });
}

void ScriptedPeer::join() {
    if (!thread_.joinable()) return;
    if (!accepted_) {
        // A test that never connected would leave the peer in accept forever;
        // a connection that closes at once lets its script run to the end.
        asio::io_context io;
        asio::ip::tcp::socket wake(io);
        std::error_code ec;
        wake.connect({asio::ip::address_v4::loopback(), port_}, ec);
        wake.close(ec);
    }
    thread_.join();
}

ScriptedPeer::~ScriptedPeer() { join(); }

bool serve_stream(PeerLink& link, std::span<const std::uint8_t> content, const StreamPlan& plan,
                  std::vector<std::int32_t>* answers) {
    const std::uint64_t count = wire::chunk_count(content.size());
    std::uint64_t from = 0;
    for (int pass = 0; pass < plan.max_passes; ++pass) {
        for (std::uint64_t k = from; k < count; ++k) {
            if (pass == 0 && std::find(plan.drop_first_pass.begin(), plan.drop_first_pass.end(),
                                       k) != plan.drop_first_pass.end()) {
                continue;
            }
            auto chunk = content.subspan(
                k * wire::kChunkSize,
                std::min<std::size_t>(wire::kChunkSize, content.size() - k * wire::kChunkSize));
            wire::Packed packed;
            if (plan.compress) {
                packed = wire::compress_if_pays(chunk, wire::CompressLevel::normal);
                chunk = packed.bytes;
            }
            link.send_args(wire::Kind::data, plan.data_code,
                           {plan.transfer_id, std::int32_t(k), 0, packed.compressed ? 1 : 0}, false,
                           chunk);
        }
        link.send_args(wire::Kind::request, std::uint8_t(wire::Request::end_of_pass),
                       {plan.transfer_id, 0, 0, 0}, false);
        const auto answer = link.next_request();
        if (!answer) return false;
        if (answer->head.code == std::uint8_t(wire::Request::transfer_received)) {
            if (answers) answers->push_back(-1);
            return true;
        }
        if (answer->head.code != std::uint8_t(wire::Request::resend_from)) return false;
        if (answers) answers->push_back(answer->head.arg2);
        from = std::uint64_t(std::max(answer->head.arg2, 0));
    }
    return false;
}

ScriptedPeer::Script answer_all(std::map<std::uint8_t, std::vector<Answer>> answers,
                                std::vector<wire::Packet>* seen) {
    return [answers = std::move(answers), seen](PeerLink& link) {
        while (auto request = link.next_request()) {
            if (request->head.want_ack != 0) link.ack(request->head.seq);
            if (seen) seen->push_back(*request);
            const auto it = answers.find(request->head.code);
            if (it == answers.end()) continue;
            for (const Answer& a : it->second) {
                link.send(a.kind, a.code, a.arg1, a.kind != wire::Kind::data);
            }
        }
    };
}

}  // namespace rk::client::test
