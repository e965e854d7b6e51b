#include "files/batch.h"

#include "files/download.h"
#include "platform/dos_time.h"
#include "platform/wire_path.h"
#include "support/file_stream.h"

namespace rk::files {

namespace pf = rk::platform;

namespace {

void pack_one(pf::Env& env, const std::string& user_root, const BatchEntry& entry,
              wire::BatchStreamWriter& out) {
    auto file = open_download(env, user_root, entry.wire_path);
    if (!file.status.ok()) return out.unopened(entry.tag);
    if (file.size >= kBatchFileLimit) return;

    // Read straight into the stream. A file cut short meanwhile by someone
    // else travels as it now is.
    const auto room = out.begin_file(entry.tag, file.attributes, file.dos_date,
                                     std::size_t(file.size));
    const std::size_t got = file.stream.read(room);
    if (file.stream.error()) {
        out.drop_file();
        return out.unopened(entry.tag);
    }
    out.end_file(got);
}

}  // namespace

std::vector<std::uint8_t> pack_batch(pf::Env& env, const std::string& user_root,
                                     std::span<const BatchEntry> entries) {
    wire::BatchStreamWriter out;
    // Packing stops past the limit, by at most one file.
    out.reserve(kBatchStreamLimit + kBatchFileLimit + wire::kBatchEntryHead);
    for (const BatchEntry& entry : entries) {
        pack_one(env, user_root, entry, out);
        if (out.size() > kBatchStreamLimit) break;
    }
    return out.take();
}

}  // namespace rk::files
