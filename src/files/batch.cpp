#include "files/batch.h"

#include "files/last_write.h"
#include "platform/dos_time.h"
#include "platform/wire_path.h"
#include "support/file_stream.h"
#include "wire/payload.h"

namespace rk::files {

namespace pf = rk::platform;

namespace {

constexpr std::size_t kEntryHead = 16;

void put_u32(std::vector<std::uint8_t>& out, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) out[at + std::size_t(i)] = std::uint8_t(value >> (8 * i));
}

void put_unopened(std::vector<std::uint8_t>& out, std::int32_t tag) {
    const std::size_t at = out.size();
    out.resize(at + kEntryHead, 0);
    put_u32(out, at, std::uint32_t(tag));
    put_u32(out, at + 4, std::uint32_t(-1));
}

void pack_one(pf::Env& env, const std::string& user_root, const BatchEntry& entry,
              std::vector<std::uint8_t>& out) {
    const auto path = pf::map_wire_path(env, user_root, entry.wire_path);
    if (!path) return put_unopened(out, entry.tag);
    auto opened = support::FileStream::open_for_sending(env, *path);
    if (!opened) return put_unopened(out, entry.tag);
    support::FileStream& file = opened.stream;
    const std::uint64_t size = file.size64();
    if (file.error()) return put_unopened(out, entry.tag);
    if (size >= kBatchFileLimit) return;

    const std::size_t at = out.size();
    out.resize(at + kEntryHead + size);
    const std::size_t got = file.read(std::span(out).subspan(at + kEntryHead));
    if (file.error()) {
        out.resize(at);
        return put_unopened(out, entry.tag);
    }
    // A file cut short meanwhile by someone else travels as it now is; the
    // length field must match the bytes that follow.
    out.resize(at + kEntryHead + got);
    file.close();

    std::error_code ec;
    std::uint32_t attributes = env.attributes(*path, ec);
    if (ec) attributes = pf::attr::kArchive;
    const auto written = last_write(env, *path);
    put_u32(out, at, std::uint32_t(entry.tag));
    put_u32(out, at + 4, std::uint32_t(got));
    put_u32(out, at + 8, attributes);
    put_u32(out, at + 12, written ? pf::to_dos_time(*written) : pf::kMissingDosTime);
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
