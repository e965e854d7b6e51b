// The ideal-server floor: a server inside rkbench, on its own thread and
// io_context, that answers the client library's requests as cheaply as the
// exchange allows, from packets encoded before the clock starts. The same
// client code run against it shows what the client alone reaches, so that a
// figure of the real server can be read as the server's cost or the
// client's.
//
// It acknowledges what asks and drops duplicates, as the client expects;
// accepts any logon; serves the files and listings it was given (each with
// its header, chunks shaped as the real server shapes them, one end-of-pass
// question, and a resend from where the client says); answers any batch
// with as many copies of its stock file as one batch stream holds; and
// takes an upload's chunks without storing them. Loopback loses nothing,
// so nothing it sends is ever sent again unasked.
// Safe to use from any thread: everything runs on its own.
#pragma once

#include <asio/awaitable.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "client/transfers.h"

namespace rk::bench {

class FloorServer {
public:
    struct Content {
        // By wire path; the bytes are read while the floor is built, not after.
        std::map<std::string, std::span<const std::uint8_t>> files;
        std::map<std::string, client::Listing> listings;  // by wire path
        std::vector<std::uint8_t> batch_file;             // every entry of every batch
        // Batch requests of more names get the entries of this many.
        std::size_t batch_entries = 1;
    };

    explicit FloorServer(Content content);
    ~FloorServer();
    FloorServer(const FloorServer&) = delete;
    FloorServer& operator=(const FloorServer&) = delete;

    std::uint16_t port() const { return port_; }

    // The packets of one outbound stream, sealed with Seq 0: each link
    // numbers them as it copies them out.
    struct Stream {
        std::vector<std::uint8_t> header;
        std::vector<std::uint8_t> chunks;       // every chunk packet, back to back
        std::vector<std::size_t> starts;        // where each chunk begins in `chunks`
        std::vector<std::uint8_t> end_of_pass;  // empty: the header goes alone
        std::int32_t transfer_id = 0;
    };

private:
    class Link;

    asio::awaitable<void> accept();
    // The answer to a batch of `names` names, encoded on first use.
    const Stream& batch(std::size_t names);

    std::map<std::string, Stream> files_;
    std::map<std::string, Stream> listings_;
    std::vector<std::uint8_t> batch_file_;
    std::size_t batch_entries_ = 1;
    std::map<std::size_t, Stream> batches_;  // touched by the floor's thread only
    std::int32_t next_transfer_id_ = 1;

    asio::io_context io_;
    asio::ip::tcp::acceptor acceptor_;
    std::uint16_t port_ = 0;
    std::thread thread_;
};

}  // namespace rk::bench
