// A batch download: the request naming several files (124), the header the
// server answers with (119), and the stream of entries it then sends in batch
// chunks (212).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "wire/decoded.h"
#include "wire/packet.h"

namespace rk::wire {

// More names than this in one request are not read: no stream could hold
// the files before reaching its size limit.
inline constexpr std::size_t kMaxBatchNames = 65536;
// A compressed request inflates to no more than this.
inline constexpr std::size_t kMaxBatchRequest = 4u << 20;
// Tag, length, attributes and date ahead of each entry's bytes.
inline constexpr std::size_t kBatchEntryHead = 16;

struct BatchName {
    std::string wire_path;
    std::int32_t tag = 0;  // chosen by the client, echoed in the stream

    bool operator==(const BatchName&) const = default;
};

// The (path, tag) pairs of a plain request payload, up to an empty path, the
// end of the data, a pair cut short, or kMaxBatchNames.
std::vector<BatchName> read_batch_request(std::span<const std::uint8_t> plain);

// The request: every name NUL-terminated with its tag as int32, then an empty
// path; compressed at zlib's default level where that pays, marked by Arg4
// not 0.
struct BatchRequest {
    std::vector<BatchName> names;

    // Asks for an acknowledgement.
    Packet encode() const;
    // Fails, naming nothing, when a compressed payload does not inflate
    // within kMaxBatchRequest.
    static Decoded<BatchRequest> decode(const Packet& packet);
};

// Arg2 holds 3, Arg3 the size of the stream in bytes, Arg4 the transfer id.
struct BatchHeader {
    std::int32_t size = 0;
    std::int32_t transfer_id = 0;

    bool possible() const { return size >= 0; }

    // A request-kind packet asking for an acknowledgement.
    Packet encode() const;
    static BatchHeader decode(const PacketHead& head);
};

// One entry of the stream: tag, int32 length, u32 attributes, u32 DOS
// date-time, then the bytes. A file that would not open has length -1,
// zeros for attributes and date, and no bytes.
struct BatchStreamEntry {
    std::int32_t tag = 0;
    std::int64_t length = -1;
    std::uint32_t attributes = 0;
    std::int32_t dos_date = -1;
    std::vector<std::uint8_t> bytes;
};

// Lays out the stream entry by entry.
class BatchStreamWriter {
public:
    void file(std::int32_t tag, std::uint32_t attributes, std::int32_t dos_date,
              std::span<const std::uint8_t> bytes);
    // The same for bytes written in place: room for `size` of them, then
    // end_file() with the number written, which may be fewer.
    std::span<std::uint8_t> begin_file(std::int32_t tag, std::uint32_t attributes,
                                       std::int32_t dos_date, std::size_t size);
    void end_file(std::size_t written);
    // Takes back the entry begin_file() opened.
    void drop_file() { out_.resize(entry_at_); }
    void unopened(std::int32_t tag);

    void reserve(std::size_t bytes) { out_.reserve(bytes); }
    std::size_t size() const { return out_.size(); }
    std::vector<std::uint8_t> take() { return std::move(out_); }

private:
    void head(std::int32_t tag, std::int32_t length, std::uint32_t attributes,
              std::int32_t dos_date);

    std::vector<std::uint8_t> out_;
    std::size_t entry_at_ = 0;  // of the entry begin_file() opened
};

// Fails on a stream that ends inside an entry or an entry that claims more
// bytes than follow; the value then holds the entries before it.
Decoded<std::vector<BatchStreamEntry>> decode_batch_stream(std::span<const std::uint8_t> bytes);

}  // namespace rk::wire
