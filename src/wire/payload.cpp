#include "wire/payload.h"

#include <algorithm>
#include <cstring>

#include "wire/packet.h"

namespace rk::wire {

std::string PayloadReader::zstr() {
    if (at_end()) return {};
    auto begin = bytes_.begin() + std::ptrdiff_t(pos_);
    auto nul = std::find(begin, bytes_.end(), std::uint8_t{0});
    std::string text(begin, nul);
    pos_ += text.size() + (nul != bytes_.end() ? 1 : 0);
    return text;
}

std::optional<std::int32_t> PayloadReader::i32() {
    if (bytes_.size() - std::min(pos_, bytes_.size()) < 4) return std::nullopt;
    std::int32_t v = std::int32_t(load_u32(bytes_.data() + pos_));
    pos_ += 4;
    return v;
}

void PayloadWriter::zstr(std::string_view text) {
    out_.insert(out_.end(), text.begin(), text.end());
    out_.push_back(0);
}

void PayloadWriter::i32(std::int32_t value) {
    std::uint8_t b[4];
    store_u32(b, std::uint32_t(value));
    out_.insert(out_.end(), b, b + 4);
}

void PayloadWriter::field(std::string_view text, std::size_t size) {
    if (size == 0) return;
    const std::size_t n = std::min({text.size(), size - 1, std::size_t{255}});
    const std::size_t at = out_.size();
    out_.resize(at + size, 0);
    out_[at] = std::uint8_t(n);
    std::memcpy(out_.data() + at + 1, text.data(), n);
}

void PayloadWriter::bytes(std::span<const std::uint8_t> data) {
    out_.insert(out_.end(), data.begin(), data.end());
}

std::vector<std::uint8_t> path_payload(std::string_view wire_path) {
    PayloadWriter w;
    w.zstr(wire_path);
    return w.take();
}

std::string zstr_at(std::span<const std::uint8_t> bytes, std::size_t offset) {
    if (offset >= bytes.size()) return {};
    PayloadReader reader(bytes.subspan(offset));
    return reader.zstr();
}

std::string field_at(std::span<const std::uint8_t> bytes, std::size_t offset, std::size_t size) {
    if (offset >= bytes.size() || size == 0) return {};
    const std::size_t declared = std::min<std::size_t>(bytes[offset], size - 1);
    const std::size_t available = bytes.size() - offset - 1;
    const auto first = bytes.begin() + std::ptrdiff_t(offset + 1);
    return std::string(first, first + std::ptrdiff_t(std::min(declared, available)));
}

Credentials read_credentials(std::span<const std::uint8_t> payload) {
    return {field_at(payload, 0), field_at(payload, kNameFieldSize)};
}

std::vector<std::uint8_t> write_credentials(std::string_view name, std::string_view password) {
    PayloadWriter w;
    w.field(name);
    w.field(password);
    return w.take();
}

SizeArgs pack_size(std::uint64_t size, std::uint32_t attributes) {
    const std::uint32_t high = std::uint32_t(size >> 32) & 0xFFFF;
    return {std::int32_t(std::uint32_t(size)), std::int32_t(high << 16 | (attributes & 0xFFFF))};
}

std::uint64_t unpack_size(std::int32_t arg1, std::int32_t arg2) {
    return std::uint64_t(std::uint32_t(arg2) >> 16) << 32 | std::uint32_t(arg1);
}

std::uint32_t unpack_attributes(std::int32_t arg2) { return std::uint32_t(arg2) & 0xFFFF; }

}  // namespace rk::wire
