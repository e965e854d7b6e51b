// Runs every payload reader and decoder over arbitrary bytes; the sanitizers
// catch any read past the end, the checks below any cap a decoder lets pass.
#include <cstdlib>

#include "wire/batch.h"
#include "wire/chunk.h"
#include "wire/file_header.h"
#include "wire/listing.h"
#include "wire/missing_list.h"
#include "wire/packet.h"
#include "wire/path_text.h"
#include "wire/payload.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);

    rk::wire::PayloadReader reader(bytes);
    while (!reader.at_end()) {
        const std::size_t before = reader.position();
        (void)reader.zstr();
        (void)reader.i32();
        if (reader.position() <= before || reader.position() > size) std::abort();
    }

    const auto creds = rk::wire::read_credentials(bytes);
    if (creds.name.size() > 127 || creds.password.size() > 127) std::abort();
    for (std::size_t offset : {std::size_t{0}, size / 2, size, size + 1}) {
        (void)rk::wire::zstr_at(bytes, offset);
        (void)rk::wire::field_at(bytes, offset);
    }
    const std::string path = rk::wire::zstr_at(bytes);
    (void)rk::wire::file_name_part(path);
    (void)rk::wire::exclude_slash(rk::wire::include_slash(path));
    (void)rk::wire::decode_packet(bytes);

    // The same bytes as the payload of every packet that carries one, its
    // arguments taken from the first 16 bytes so that flags and counts vary.
    rk::wire::Packet packet;
    packet.payload.assign(bytes.begin(), bytes.end());
    if (size >= 16) {
        packet.head.arg1 = std::int32_t(rk::wire::load_u32(data));
        packet.head.arg2 = std::int32_t(rk::wire::load_u32(data + 4));
        packet.head.arg3 = std::int32_t(rk::wire::load_u32(data + 8));
        packet.head.arg4 = std::int32_t(rk::wire::load_u32(data + 12));
    }
    (void)rk::wire::decode_listing(bytes, packet.head.arg1);
    (void)rk::wire::decode_batch_stream(bytes);
    (void)rk::wire::FileHeader::decode(packet);
    if (rk::wire::read_batch_request(bytes).size() > rk::wire::kMaxBatchNames) std::abort();
    if (rk::wire::BatchRequest::decode(packet).value.names.size() > rk::wire::kMaxBatchNames)
        std::abort();
    const auto missing = rk::wire::MissingList::decode(packet);
    if (missing.ok() && (missing.value.indices.size() > rk::wire::kMaxMissingListed ||
                         std::int64_t(missing.value.indices.size()) > missing.value.count))
        std::abort();
    const auto chunk = rk::wire::Chunk::decode(packet);
    if (chunk.ok() && (packet.head.arg4 & 0xFF) != 0 &&
        chunk.value.bytes.size() > rk::wire::kChunkSize)
        std::abort();
    return 0;
}
