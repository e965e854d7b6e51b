// Turns the bytes of one connection, split anyhow by the network, into whole
// packets in arrival order. Bytes outside a packet are skipped up to the next
// magic; a Length that no packet can have is fatal for the connection.
// REQUIRES: external synchronization (one connection's reader).
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace rk::wire {

class Framer {
public:
    enum class Result { packet, need_more, fatal };

    // Appends received bytes. Never drops one: unread bytes stay queued
    // until next() hands them out.
    void feed(std::span<const std::uint8_t> bytes);

    // Yields the next complete packet (raw bytes, checksum not yet tested)
    // into `packet`, or says more bytes are needed, or that the stream is
    // corrupt beyond repair (see error()). After fatal every call is fatal.
    Result next(std::vector<std::uint8_t>& packet);

    std::string_view error() const { return error_; }
    // Bytes received but not yet handed out or skipped.
    std::size_t buffered() const { return buffer_.size() - start_; }
    // Bytes thrown away while looking for a packet start.
    std::uint64_t skipped() const { return skipped_; }

private:
    bool seek_magic();
    void compact();

    std::vector<std::uint8_t> buffer_;
    std::size_t start_ = 0;  // first byte not yet consumed
    std::uint64_t skipped_ = 0;
    std::string_view error_;
};

}  // namespace rk::wire
