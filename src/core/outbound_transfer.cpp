#include "core/outbound_transfer.h"

#include "core/engine.h"
#include "core/link.h"
#include "wire/chunk.h"
#include "wire/codes.h"
#include "wire/payload.h"

namespace rk::core {

namespace {

// A transfer queues chunks until this much waits for the socket, then waits
// until half of it has gone: a large file is read as the client takes it,
// not all at once, and the transfer wakes once per many chunks.
constexpr std::size_t kBacklog = 256 * 1024;
// After the last chunk the client is asked every 80 ms whether it has all.
constexpr std::uint64_t kAskEveryMs = 80;
// Chunks of a file read at once.
constexpr std::size_t kChunksPerRead = 64;

}  // namespace

OutboundTransfer::OutboundTransfer(Engine& engine, Link& link, std::uint32_t id, ChunkSource source,
                                   std::shared_ptr<const std::atomic<bool>> stop)
    : engine_(engine),
      link_(link),
      id_(id),
      source_(std::move(source)),
      stop_(std::move(stop)),
      wake_(engine.io()) {}

bool OutboundTransfer::stopped() const { return link_.closed() || finished_ || *stop_; }

void OutboundTransfer::resend_from(std::uint32_t id, std::int64_t index) {
    if (id != id_) return;
    next_chunk_ = std::uint64_t(index);
    wake_.notify();
}

void OutboundTransfer::received(std::uint32_t id) {
    if (id != id_) return;
    finished_ = true;
    // No later packet may match the finished transfer.
    id_ = ~id_;
    wake_.notify();
}

asio::awaitable<void> OutboundTransfer::run() {
    ServerClock& clock = engine_.clock();
    while (!stopped()) {
        engine_.mark_transmitting();
        // Unpaced, a file's whole chunks go from the file into the queue
        // with no copy between.
        if (engine_.bandwidth_limit() <= 0 && post_file_chunks() > 0) {
            if (link_.waiting() >= kBacklog) co_await link_.drain_to(kBacklog / 2);
            continue;
        }
        const auto chunk = source_.chunk(next_chunk_);
        if (chunk.empty()) {
            // Everything went out once (or the file was cut short meanwhile):
            // ask until the client says it has all or where to go on from.
            // The first question goes with the last chunk, the next every
            // 80 ms.
            auto ask = wire::packet_head(wire::Request::end_of_pass, false);
            ask.arg1 = std::int32_t(id_);
            co_await link_.send(ask);
            if (stopped()) break;
            co_await clock.until(clock.now() + kAskEveryMs, wake_);
            continue;
        }
        const std::size_t queued = post_chunk(next_chunk_++, chunk);
        if (queued == 0) break;
        if (engine_.bandwidth_limit() > 0) co_await pace(queued);
        if (link_.waiting() >= kBacklog) co_await link_.drain_to(kBacklog / 2);
    }
}

std::size_t OutboundTransfer::post_file_chunks() {
    if (!source_.is_file() || next_chunk_ >= source_.whole_chunks()) return 0;
    const auto count =
        std::size_t(std::min<std::uint64_t>(source_.whole_chunks() - next_chunk_, kChunksPerRead));
    if (!link_.build(count, wire::kChunkSize, slots_)) return 0;
    const std::uint64_t first = next_chunk_;
    const std::size_t read = source_.read_chunks(first, slots_);
    const auto code = wire::Data(source_.data_code());
    link_.post_built(read, [&](std::size_t i) {
        return wire::Chunk::head(code, std::int32_t(id_), std::int32_t(first + i));
    });
    next_chunk_ += read;
    return read;
}

std::size_t OutboundTransfer::post_chunk(std::uint64_t index, std::span<const std::uint8_t> chunk) {
    const auto code = wire::Data(source_.data_code());
    const auto chunk_index = std::int32_t(index);
    if (!source_.compress()) {
        // A file's bytes go from the read-ahead block straight into the queue.
        if (!link_.post(wire::Chunk::head(code, std::int32_t(id_), chunk_index), chunk)) return 0;
        return wire::kHeaderSize + chunk.size();
    }
    const wire::Packet packet =
        wire::Chunk::encode(code, std::int32_t(id_), chunk_index, chunk, true);
    if (!link_.post(packet.head, packet.payload)) return 0;
    return wire::kHeaderSize + packet.payload.size();
}

asio::awaitable<void> OutboundTransfer::pace(std::size_t sent_bytes) {
    // Every transfer of the server shares one budget, refilled every tick.
    engine_.spend_bandwidth(std::int64_t(sent_bytes));
    ServerClock& clock = engine_.clock();
    while (engine_.bandwidth_budget() < 0 && engine_.bandwidth_limit() > 0 && !link_.closed() &&
           !*stop_) {
        co_await clock.until(clock.now() + 1, wake_);
    }
}

}  // namespace rk::core
