// One blocking client connection to the save server: numbers, acknowledges,
// resends and de-duplicates packets, and offers the requests a user makes.
// REQUIRES: external synchronization (one thread drives a connection).
#pragma once

#include <array>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "wire/ack_ring.h"
#include "wire/framer.h"
#include "wire/packet.h"
#include "wire/recent_seqs.h"

namespace rk::client {

// "/a/b", "a/b" or "\a\b" as the server wants it: "\a\b". Runs of
// separators fold into one and a trailing one goes; the root is "\".
std::string to_wire_path(std::string_view path);

enum class Logon { accepted, bad_credentials, forbidden, wrong_version, refused, no_answer };
struct LogonResult {
    Logon status = Logon::no_answer;
    // accepted: the server's bandwidth limit in kB/s (0 = none);
    // wrong_version: the version the server speaks (0 when it did not say);
    // refused: the reason as the server gave it, one this client does not know.
    std::int32_t detail = 0;
};

enum class AccountResult { created, name_taken, not_allowed, no_answer };
enum class RemoveResult { deleted, failed, no_answer };

// The slot-date records of a game folder: DOS date-times of slots 1..3,
// -1 where a slot has none. `answered` is false when no reply came.
struct SlotDates {
    bool answered = false;
    std::array<std::int32_t, 3> dates{-1, -1, -1};
};

// Outside Connection only so that it can be a default argument there.
struct ConnectionOptions {
    bool auto_ack = true;
    bool suppress_duplicates = true;
    std::chrono::milliseconds resend_interval{100};
    std::chrono::milliseconds ack_timeout{5000};
    // How long a request waits for its reply once acknowledged.
    std::chrono::milliseconds answer_timeout{10000};
    std::chrono::milliseconds connect_timeout{5000};
};

class Connection {
public:
    using Options = ConnectionOptions;

    static std::unique_ptr<Connection> connect(const std::string& host, std::uint16_t port,
                                               std::error_code& ec, Options options = {});

    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Numbers and writes one packet; returns the Seq it carries. A packet that
    // wants an acknowledgement is kept for resending until wait_ack sees it.
    std::uint32_t send(wire::Kind kind, std::uint8_t code, std::array<std::int32_t, 4> args = {},
                       std::span<const std::uint8_t> payload = {}, bool want_ack = true);
    // Reads (queueing what arrives) and resends the identical bytes every
    // resend_interval until `seq` is acknowledged; false after ack_timeout or
    // when the connection is gone.
    bool wait_ack(std::uint32_t seq);
    bool request(wire::Kind kind, std::uint8_t code, std::array<std::int32_t, 4> args = {},
                 std::span<const std::uint8_t> payload = {});
    // The same for a packet a wire codec encoded; its Seq is ours to number,
    // and request() asks for an acknowledgement whatever the packet says.
    std::uint32_t send(const wire::Packet& packet);
    bool request(const wire::Packet& packet);

    // Numbers a packet that wants no acknowledgement and gathers it with the
    // ones posted before it; they go out together once enough have gathered,
    // at flush(), or before anything else is written or read (not at close).
    std::uint32_t post(wire::Kind kind, std::uint8_t code, std::array<std::int32_t, 4> args,
                       std::span<const std::uint8_t> payload);
    void flush();

    // Writes `bytes` exactly as given, outside the numbering.
    void send_raw(std::span<const std::uint8_t> bytes);

    // The next packet from the server that is not an acknowledgement; nullopt
    // after `timeout` or once the server has closed and nothing is queued.
    std::optional<wire::Packet> receive(std::chrono::milliseconds timeout);
    // Like receive, but packets with another code are thrown away.
    std::optional<wire::Packet> receive_code(std::uint8_t code, std::chrono::milliseconds timeout);
    // Like receive, but packets `wanted` refuses are thrown away.
    std::optional<wire::Packet> receive_if(
        const std::function<bool(const wire::PacketHead&)>& wanted,
        std::chrono::milliseconds timeout);

    // Acknowledges `seq` by hand (for tests that turn auto_ack off).
    void ack(std::uint32_t seq);
    bool acked(std::uint32_t seq) const;
    bool closed() const { return closed_; }
    void close();
    // Why the connection closed, when it was not our doing.
    std::error_code error() const { return error_; }
    // Received packets thrown away because their checksum failed.
    std::uint64_t corrupt_packets() const { return corrupt_; }
    const Options& options() const { return options_; }
    // A fresh number for an upload's transfer id or an echo value; never 0,
    // so that a zeroed field never matches it.
    std::int32_t take_transfer_id();

    LogonResult logon(std::string_view name, std::string_view password);
    // True when the server confirmed; it answers only a logged-on connection.
    bool logoff();
    AccountResult create_account(std::string_view name, std::string_view password);
    RemoveResult remove_file(std::string_view wire_path);
    // These have no reply: true when the server acknowledged the request.
    bool make_folder(std::string_view wire_path);
    bool remove_folder(std::string_view wire_path);
    bool reset_slot(std::string_view wire_path);
    // Deletes everything below the folder, keeping the folder itself; true
    // when the server said it is done. Transfers live in transfers.h.
    bool remove_tree(std::string_view wire_path);
    SlotDates slot_dates(std::string_view wire_path);

private:
    using Clock = std::chrono::steady_clock;

    explicit Connection(Options options);

    // The Seq an acknowledgement carries: the last number used, or
    // 0xFFFFFFFF before the first packet.
    std::uint32_t current_seq() const { return next_seq_ - 1; }
    // The header of the next packet, numbered.
    wire::PacketHead number(wire::Kind kind, std::uint8_t code, std::array<std::int32_t, 4> args,
                            bool want_ack);
    void write(std::span<const std::uint8_t> bytes);
    // Waits for bytes until `deadline` (or just looks, when it has passed)
    // and processes every complete packet they finish.
    void pump(Clock::time_point deadline);
    void take(std::span<const std::uint8_t> bytes);
    void fail(std::error_code ec);
    // The next reply with one of `codes`, skipping anything else.
    std::optional<wire::Packet> await_reply(std::initializer_list<std::uint8_t> codes,
                                            Clock::time_point deadline);
    bool request_path(std::uint8_t code, std::string_view wire_path);

    struct Unacked {
        std::vector<std::uint8_t> bytes;  // empty once acknowledged
        bool acked = false;
    };

    Options options_;
    asio::io_context io_;
    asio::ip::tcp::socket socket_;
    std::vector<std::uint8_t> read_buffer_ = std::vector<std::uint8_t>(256 * 1024);
    std::vector<std::uint8_t> posted_;  // posted packets not yet written
    bool read_pending_ = false;
    bool read_done_ = false;
    std::size_t read_size_ = 0;
    std::error_code read_error_;

    wire::Framer framer_;
    wire::AckRing ack_ring_;
    wire::RecentSeqs recent_;
    std::deque<wire::Packet> inbox_;
    std::map<std::uint32_t, Unacked> unacked_;
    std::uint32_t next_seq_ = 0;
    std::int32_t next_transfer_id_ = 1;
    std::uint64_t corrupt_ = 0;
    bool closed_ = false;
    std::error_code error_;
};

}  // namespace rk::client
