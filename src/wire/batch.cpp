#include "wire/batch.h"

#include "wire/codes.h"
#include "wire/compression.h"
#include "wire/payload.h"

namespace rk::wire {

std::vector<BatchName> read_batch_request(std::span<const std::uint8_t> plain) {
    std::vector<BatchName> names;
    PayloadReader reader(plain);
    while (names.size() < kMaxBatchNames) {
        std::string path = reader.zstr();
        if (path.empty()) break;
        const auto tag = reader.i32();
        if (!tag) break;
        names.push_back(BatchName{std::move(path), *tag});
    }
    return names;
}

Packet BatchRequest::encode() const {
    PayloadWriter plain;
    for (const BatchName& name : names) {
        plain.zstr(name.wire_path);
        plain.i32(name.tag);
    }
    plain.zstr("");
    Packed packed = compress_if_pays(plain.data(), CompressLevel::normal);
    Packet packet{packet_head(Request::download_batch, true), std::move(packed.bytes)};
    packet.head.arg4 = packed.compressed ? 1 : 0;
    return packet;
}

Decoded<BatchRequest> BatchRequest::decode(const Packet& packet) {
    Decoded<BatchRequest> request;
    const CodecResult plain =
        inflate_if_flagged(packet.payload, packet.head.arg4 != 0, kMaxBatchRequest);
    if (!plain.ok()) {
        request.error = "batch request: " + plain.error;
        return request;
    }
    request.value.names = read_batch_request(plain.bytes);
    return request;
}

Packet BatchHeader::encode() const {
    Packet packet{packet_head(Request::batch_header, true), {}};
    packet.head.arg2 = 3;
    packet.head.arg3 = size;
    packet.head.arg4 = transfer_id;
    return packet;
}

BatchHeader BatchHeader::decode(const PacketHead& head) { return {head.arg3, head.arg4}; }

void BatchStreamWriter::head(std::int32_t tag, std::int32_t length, std::uint32_t attributes,
                             std::int32_t dos_date) {
    const std::size_t at = out_.size();
    out_.resize(at + kBatchEntryHead);
    store_u32(out_.data() + at, std::uint32_t(tag));
    store_u32(out_.data() + at + 4, std::uint32_t(length));
    store_u32(out_.data() + at + 8, attributes);
    store_u32(out_.data() + at + 12, std::uint32_t(dos_date));
}

void BatchStreamWriter::file(std::int32_t tag, std::uint32_t attributes, std::int32_t dos_date,
                             std::span<const std::uint8_t> bytes) {
    const std::span<std::uint8_t> room = begin_file(tag, attributes, dos_date, bytes.size());
    std::copy(bytes.begin(), bytes.end(), room.begin());
    end_file(bytes.size());
}

std::span<std::uint8_t> BatchStreamWriter::begin_file(std::int32_t tag, std::uint32_t attributes,
                                                      std::int32_t dos_date, std::size_t size) {
    entry_at_ = out_.size();
    head(tag, std::int32_t(size), attributes, dos_date);
    out_.resize(out_.size() + size);
    return std::span(out_).subspan(entry_at_ + kBatchEntryHead);
}

void BatchStreamWriter::end_file(std::size_t written) {
    // The length field must match the bytes that follow.
    store_u32(out_.data() + entry_at_ + 4, std::uint32_t(written));
    out_.resize(entry_at_ + kBatchEntryHead + written);
}

void BatchStreamWriter::unopened(std::int32_t tag) { head(tag, -1, 0, 0); }

Decoded<std::vector<BatchStreamEntry>> decode_batch_stream(std::span<const std::uint8_t> bytes) {
    Decoded<std::vector<BatchStreamEntry>> stream;
    std::size_t at = 0;
    while (at < bytes.size()) {
        if (bytes.size() - at < kBatchEntryHead) {
            stream.error = "the batch ends inside an entry's header";
            return stream;
        }
        const std::uint8_t* head = bytes.data() + at;
        BatchStreamEntry entry;
        entry.tag = std::int32_t(load_u32(head));
        entry.length = std::int32_t(load_u32(head + 4));
        at += kBatchEntryHead;
        if (entry.length == -1) {
            stream.value.push_back(std::move(entry));
            continue;
        }
        entry.attributes = load_u32(head + 8);
        entry.dos_date = std::int32_t(load_u32(head + 12));
        if (entry.length < 0 || std::uint64_t(entry.length) > bytes.size() - at) {
            stream.error = "entry with tag " + std::to_string(entry.tag) + " claims " +
                           std::to_string(entry.length) + " bytes";
            return stream;
        }
        const auto first = bytes.begin() + std::ptrdiff_t(at);
        entry.bytes.assign(first, first + std::ptrdiff_t(entry.length));
        at += std::size_t(entry.length);
        stream.value.push_back(std::move(entry));
    }
    return stream;
}

}  // namespace rk::wire
