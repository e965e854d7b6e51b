#include "files/batch.h"

#include "files/download.h"
#include "platform/dos_time.h"
#include "platform/wire_path.h"
#include "support/file_stream.h"

namespace rk::files {

namespace pf = rk::platform;

namespace {

void pack_one(pf::Env& env, const std::string& user_root, const BatchEntry& entry,
              wire::BatchStreamWriter& out, std::vector<std::uint8_t>& scratch) {
    auto file = open_download(env, user_root, entry.wire_path);
    if (!file.status.ok()) return out.unopened(entry.tag);
    if (file.size >= kBatchFileLimit) return;

    scratch.resize(file.size);
    const std::size_t got = file.stream.read(scratch);
    if (file.stream.error()) return out.unopened(entry.tag);
    // A file cut short meanwhile by someone else travels as it now is; the
    // length field must match the bytes that follow.
    out.file(entry.tag, file.attributes, file.dos_date, std::span(scratch).first(got));
}

}  // namespace

std::vector<std::uint8_t> pack_batch(pf::Env& env, const std::string& user_root,
                                     std::span<const BatchEntry> entries) {
    wire::BatchStreamWriter out;
    std::vector<std::uint8_t> scratch;
    for (const BatchEntry& entry : entries) {
        pack_one(env, user_root, entry, out, scratch);
        if (out.size() > kBatchStreamLimit) break;
    }
    return out.take();
}

}  // namespace rk::files
