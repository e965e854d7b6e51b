#include "files/batch.h"

#include "files/download.h"
#include "platform/dos_time.h"
#include "platform/wire_path.h"
#include "support/file_stream.h"
#include "wire/packet.h"
#include "wire/payload.h"

namespace rk::files {

namespace pf = rk::platform;

namespace {

constexpr std::size_t kEntryHead = 16;

void put_unopened(std::vector<std::uint8_t>& out, std::int32_t tag) {
    const std::size_t at = out.size();
    out.resize(at + kEntryHead, 0);
    wire::store_u32(out.data() + at, std::uint32_t(tag));
    wire::store_u32(out.data() + at + 4, std::uint32_t(-1));
}

void pack_one(pf::Env& env, const std::string& user_root, const BatchEntry& entry,
              std::vector<std::uint8_t>& out) {
    auto file = open_download(env, user_root, entry.wire_path);
    if (!file) return put_unopened(out, entry.tag);
    if (file->size >= kBatchFileLimit) return;

    const std::size_t at = out.size();
    out.resize(at + kEntryHead + file->size);
    const std::size_t got = file->stream.read(std::span(out).subspan(at + kEntryHead));
    if (file->stream.error()) {
        out.resize(at);
        return put_unopened(out, entry.tag);
    }
    // A file cut short meanwhile by someone else travels as it now is; the
    // length field must match the bytes that follow.
    out.resize(at + kEntryHead + got);
    wire::store_u32(out.data() + at, std::uint32_t(entry.tag));
    wire::store_u32(out.data() + at + 4, std::uint32_t(got));
    wire::store_u32(out.data() + at + 8, file->attributes);
    wire::store_u32(out.data() + at + 12, std::uint32_t(file->dos_date));
}

}  // namespace

std::vector<BatchEntry> read_batch_request(std::span<const std::uint8_t> payload) {
    std::vector<BatchEntry> entries;
    wire::PayloadReader reader(payload);
    while (entries.size() < kMaxBatchNames) {
        std::string path = reader.zstr();
        if (path.empty()) break;
        const auto tag = reader.i32();
        if (!tag) break;
        entries.push_back(BatchEntry{std::move(path), *tag});
    }
    return entries;
}

std::vector<std::uint8_t> pack_batch(pf::Env& env, const std::string& user_root,
                                     std::span<const BatchEntry> entries) {
    std::vector<std::uint8_t> out;
    for (const BatchEntry& entry : entries) {
        pack_one(env, user_root, entry, out);
        if (out.size() > kBatchStreamLimit) break;
    }
    return out;
}

}  // namespace rk::files
