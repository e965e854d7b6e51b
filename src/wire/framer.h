// Turns the bytes of one connection, split anyhow by the network, into whole
// packets in arrival order. Bytes outside a packet are skipped up to the next
// magic; a Length that no packet can have is fatal for the connection.
// Packets are handed out as views, copied only when a packet is split
// between two reads. REQUIRES: external synchronization (one connection's
// reader).
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace rk::wire {

class Framer {
public:
    enum class Result { packet, need_more, fatal };
    using View = std::span<const std::uint8_t>;

    // Appends received bytes. Never drops one: unread bytes stay queued
    // until next() hands them out.
    void feed(View bytes);

    // Yields the next complete packet (raw bytes, checksum not yet tested)
    // as a view valid until the next call, or says more bytes are needed, or
    // that the stream is corrupt beyond repair (see error()). After fatal
    // every call is fatal.
    Result next(View& packet);

    // Hands every packet that `bytes` completes to `on_packet` (a view valid
    // during the call), reading them where they lie; only the start of a
    // packet that `bytes` does not finish is kept. Returns need_more, or
    // fatal when the stream is corrupt. Bytes fed before are handed out first.
    template <typename OnPacket>
    Result take(View bytes, OnPacket&& on_packet);

    std::string_view error() const { return error_; }
    // Bytes received but not yet handed out or skipped.
    std::size_t buffered() const { return held_.size() - start_; }
    // Bytes thrown away while looking for a packet start.
    std::uint64_t skipped() const { return skipped_; }

private:
    // What the bytes from a given position hold: a packet `length` long
    // after `skip` bytes, or (need_more) a start after `skip` that is not
    // yet whole, or a fatal Length.
    struct Scan {
        Result result = Result::need_more;
        std::size_t skip = 0;
        std::size_t length = 0;
    };
    Scan scan(View bytes);
    // From held bytes (fed, or left from an earlier take), topping them up
    // from `incoming` only as far as the packet they start needs.
    Result next_held(View& incoming, View& packet);
    void compact();

    std::vector<std::uint8_t> held_;
    std::size_t start_ = 0;  // first held byte not yet consumed
    std::uint64_t skipped_ = 0;
    std::string_view error_;
};

template <typename OnPacket>
Framer::Result Framer::take(View bytes, OnPacket&& on_packet) {
    View packet;
    for (;;) {
        if (!error_.empty()) return Result::fatal;
        if (buffered() > 0) {
            // Takes from `bytes` what the held start lacks; need_more only
            // once `bytes` is used up.
            const Result result = next_held(bytes, packet);
            if (result != Result::packet) return result;
            on_packet(packet);
            continue;
        }
        const Scan found = scan(bytes);
        skipped_ += found.skip;
        bytes = bytes.subspan(found.skip);
        if (found.result == Result::fatal) return Result::fatal;
        if (found.result == Result::need_more) {
            // A packet begun here ends in a later read.
            held_.assign(bytes.begin(), bytes.end());
            start_ = 0;
            return Result::need_more;
        }
        packet = bytes.first(found.length);
        bytes = bytes.subspan(found.length);
        on_packet(packet);
    }
}

}  // namespace rk::wire
