// One listing, file or batch on its way to a client once its header has been
// acknowledged: it sends the chunks paced by the server's shared bandwidth
// budget, then asks (122) every 80 ms until the client says it has all (121)
// or names a chunk to go on from (120). It ends when finished, stopped or
// when the link closes; a file it reads is closed with it.
// Used from the io thread only.
#pragma once

#include <asio/awaitable.hpp>
#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "core/chunk_source.h"
#include "core/signal.h"

namespace rk::core {

class Engine;
class Link;

class OutboundTransfer {
public:
    // `stop` is the connection's stop flag, which walks read too.
    OutboundTransfer(Engine& engine, Link& link, std::uint32_t id, ChunkSource source,
                     std::shared_ptr<const std::atomic<bool>> stop);

    // Sends until the transfer ends.
    asio::awaitable<void> run();

    // The client asks again from chunk `index` (120).
    void resend_from(std::uint32_t id, std::int64_t index);
    // The client has everything (121).
    void received(std::uint32_t id);
    // Makes a waiting transfer look at its stop flag and the link again.
    void wake() { wake_.notify(); }

private:
    // Queues chunk `index`, compressed where the content allows and it pays;
    // the bytes queued, 0 when the link closed.
    std::size_t post_chunk(std::uint64_t index, std::span<const std::uint8_t> chunk);
    // Queues the next whole chunks of a file read straight into the link's
    // queue; the number queued.
    std::size_t post_file_chunks();
    // Waits while the shared bandwidth budget is spent.
    asio::awaitable<void> pace(std::size_t sent_bytes);
    bool stopped() const;

    Engine& engine_;
    Link& link_;
    std::uint32_t id_;
    ChunkSource source_;
    std::shared_ptr<const std::atomic<bool>> stop_;
    std::uint64_t next_chunk_ = 0;
    bool finished_ = false;
    std::vector<std::span<std::uint8_t>> slots_;
    Signal wake_;
};

}  // namespace rk::core
