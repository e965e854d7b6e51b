// Readers and writers of the encodings found inside payloads: NUL-terminated
// strings, length-prefixed text fields, 32-bit values, 48-bit file sizes and
// the chunking and compression rules of streamed content. A reader never
// reads past its bytes: a missing NUL or a short field gives what is there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace rk::wire {

// Content travels in chunks of this many bytes.
inline constexpr std::size_t kChunkSize = 1024;
// Length-prefixed text fields of logon and account creation.
inline constexpr std::size_t kNameFieldSize = 128;

// Reads payload values front to back.
class PayloadReader {
public:
    explicit PayloadReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    // The string up to the next NUL or to the end, whichever comes first; the
    // NUL is consumed. At the end: empty, and nothing is consumed.
    std::string zstr();
    // nullopt (and nothing consumed) when fewer than four bytes remain.
    std::optional<std::int32_t> i32();

    bool at_end() const { return pos_ >= bytes_.size(); }
    std::size_t position() const { return pos_; }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t pos_ = 0;
};

// Appends payload values.
class PayloadWriter {
public:
    void zstr(std::string_view text);
    void i32(std::int32_t value);
    // A length-prefixed field of `size` bytes; text beyond size - 1 bytes is cut.
    void field(std::string_view text, std::size_t size = kNameFieldSize);
    void bytes(std::span<const std::uint8_t> data);

    const std::vector<std::uint8_t>& data() const { return out_; }
    std::vector<std::uint8_t> take() { return std::move(out_); }

private:
    std::vector<std::uint8_t> out_;
};

// The payload of a request that names one path: the path, NUL-terminated.
std::vector<std::uint8_t> path_payload(std::string_view wire_path);

// The NUL-terminated string starting at `offset`, ending at the first NUL or
// the end of the bytes; empty when `offset` lies beyond them.
std::string zstr_at(std::span<const std::uint8_t> bytes, std::size_t offset = 0);

// The text of a length-prefixed field at `offset`: byte 0 is the length
// (at most size - 1), the text follows. Whatever the bytes lack reads empty.
std::string field_at(std::span<const std::uint8_t> bytes, std::size_t offset,
                     std::size_t size = kNameFieldSize);

// The name and password fields of a logon or account creation.
struct Credentials {
    std::string name;
    std::string password;
};
Credentials read_credentials(std::span<const std::uint8_t> payload);
std::vector<std::uint8_t> write_credentials(std::string_view name, std::string_view password);

// A 48-bit file size and 16 attribute bits as they share Arg1 and Arg2.
struct SizeArgs {
    std::int32_t arg1 = 0;
    std::int32_t arg2 = 0;
};
SizeArgs pack_size(std::uint64_t size, std::uint32_t attributes);
std::uint64_t unpack_size(std::int32_t arg1, std::int32_t arg2);
std::uint32_t unpack_attributes(std::int32_t arg2);

// Chunk indices travel as signed 32-bit values: no content has more chunks.
inline constexpr std::uint64_t kMaxChunks = 0x7FFFFFFF;

// Number of chunks a content of `size` bytes is cut into.
constexpr std::uint64_t chunk_count(std::uint64_t size) {
    return (size + kChunkSize - 1) / kChunkSize;
}

// Whether a payload of this size is worth an attempt at compression.
constexpr bool worth_compressing(std::size_t plain) { return plain > 224; }
// Whether the compressed form saves enough to be sent instead.
constexpr bool compressed_pays(std::size_t plain, std::size_t compressed) {
    return worth_compressing(plain) && compressed + 32 < plain;
}

}  // namespace rk::wire
