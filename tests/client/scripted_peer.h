// A stand-in server for client tests: accepts one connection on 127.0.0.1
// and runs a script against it on its own thread. Whatever the script wants
// to report it stores, and the test reads it after join().
#pragma once

#include <array>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <thread>
#include <vector>

#include "wire/framer.h"
#include "wire/packet.h"

namespace rk::client::test {

using Bytes = std::vector<std::uint8_t>;

// The peer's end of the connection, with blocking reads: a script ends when
// the client hangs up, which every test does before it joins.
class PeerLink {
public:
    explicit PeerLink(asio::ip::tcp::socket socket) : socket_(std::move(socket)) {}

    // The next complete packet as sent, acknowledgements included;
    // nullopt once the client has closed.
    std::optional<Bytes> next_raw();
    std::optional<wire::Packet> next();
    // Skips acknowledgements, remembering the numbers they acknowledge.
    std::optional<wire::Packet> next_request();

    // Numbers a packet from 0 like a server does, sends it, returns its bytes.
    Bytes send(wire::Kind kind, std::uint8_t code, std::int32_t arg1 = 0, bool want_ack = true,
               std::span<const std::uint8_t> payload = {});
    // The same with every argument given.
    Bytes send_args(wire::Kind kind, std::uint8_t code, std::array<std::int32_t, 4> args,
                    bool want_ack, std::span<const std::uint8_t> payload = {});
    void send_raw(std::span<const std::uint8_t> bytes);
    void ack(std::uint32_t seq);
    // Stops sending (the client sees the connection close) and waits for
    // the client to hang up.
    void hang_up();

    // Numbers in the acknowledgements skipped by next_request.
    const std::vector<std::uint32_t>& acks_seen() const { return acks_seen_; }

private:
    asio::ip::tcp::socket socket_;
    wire::Framer framer_;
    std::uint32_t next_seq_ = 0;
    std::vector<std::uint32_t> acks_seen_;
};

class ScriptedPeer {
public:
    using Script = std::function<void(PeerLink&)>;

    explicit ScriptedPeer(Script script);
    ~ScriptedPeer();
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    std::uint16_t port() const { return port_; }
    // Waits for the script to end; the client must have closed by then.
    void join();

private:
    asio::io_context io_;
    asio::ip::tcp::acceptor acceptor_;
    std::uint16_t port_ = 0;
    std::atomic<bool> accepted_ = false;
    std::thread thread_;
};

// How a fake server sends one outbound stream.
struct StreamPlan {
    std::uint8_t data_code = 0;
    std::int32_t transfer_id = 0;
    bool compress = false;                       // chunks that shrink enough travel compressed
    std::vector<std::uint64_t> drop_first_pass;  // chunks left out the first time
    int max_passes = 4;                          // ends of pass asked before giving up
};

// Sends `content` in chunks as the server does, then asks with 122 after
// every pass and follows the client's 120 until it answers 121 (true) or the
// passes run out. Every 120 index and the final 121 (as -1) go to `answers`.
bool serve_stream(PeerLink& link, std::span<const std::uint8_t> content, const StreamPlan& plan,
                  std::vector<std::int32_t>* answers = nullptr);

// One packet a fake server sends in answer; replies want an ack, data not.
struct Answer {
    std::uint8_t code = 0;
    std::int32_t arg1 = 0;
    wire::Kind kind = wire::Kind::reply;
};

// A script that acknowledges every request and answers each with the
// replies listed for its code (none when not listed), until the client
// hangs up. Every request it saw is appended to `seen`.
ScriptedPeer::Script answer_all(std::map<std::uint8_t, std::vector<Answer>> answers,
                                std::vector<wire::Packet>* seen);

}  // namespace rk::client::test
