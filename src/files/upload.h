// One connection's upload: receives a file in 1024-byte chunks into a hidden
// temporary file beside the target (chunks that follow one another are
// gathered into large writes), notes the chunks that are missing, and
// renames the result over the target only once it is whole. Knows no
// connection: each call returns what happened and the engine answers.
// Used from the engine's io thread. REQUIRES: external synchronization.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "files/missing_chunks.h"
#include "platform/env.h"
#include "platform/io_status.h"
#include "support/file_stream.h"
#include "support/gathered_writes.h"
#include "wire/payload.h"

namespace rk::files {

// The largest upload whose every chunk a signed 32-bit index can address.
inline constexpr std::uint64_t kMaxUploadSize = wire::kMaxChunks * wire::kChunkSize;

// An upload is written to platform::upload_temp_name(name) beside its target
// (platform/home_files.h) and renamed over the target once whole.
class Upload {
public:
    enum class StartResult {
        refused,   // nothing created; a running upload was abandoned all the same
        complete,  // an empty file, in place with its date and attributes
        active,    // chunks may come
    };
    enum class ChunkResult {
        ignored,  // not this upload, or a repeat in in-order mode
        stored,
        complete,  // the file is in place
        failed,    // the upload is abandoned, the old file untouched
    };
    enum class EndResult {
        ignored,
        complete,
        missing,  // missing_list() says which chunks to send again
        failed,   // the whole file could not be put in place; abandoned
    };

    struct MissingList {
        std::int32_t count = 0;  // all the missing chunks
        // The payload of a missing-chunk list (wire/missing_list.h): the
        // first min(count, 1024) indices, compressed where that pays.
        std::vector<std::uint8_t> payload;
        bool compressed = false;
    };

    Upload() = default;
    ~Upload() { abandon(); }
    Upload(const Upload&) = delete;
    Upload& operator=(const Upload&) = delete;

    // `attributes` keeps its low 16 bits; `dos_date` that is no valid DOS
    // date-time leaves the file dated when it was written. Sizes above
    // kMaxUploadSize, paths that map outside the user's folder, name a folder
    // or a temporary upload file, and a target whose temporary file another
    // upload holds open are refused.
    StartResult start(platform::Env& env, const std::string& user_root, std::string_view wire_path,
                      std::uint64_t size, std::uint32_t attributes, std::int32_t dos_date,
                      std::int32_t transfer_id);

    // A chunk counts as received only when it carries all its bytes (1024, or
    // what is left for the last one); a shorter one is written but stays
    // missing. A chunk that would reach past the declared size, or a payload
    // that is or inflates to more than 1024 bytes, fails the upload.
    ChunkResult chunk(std::int32_t transfer_id, std::int32_t index,
                      std::span<const std::uint8_t> payload, bool compressed);

    // The client has sent everything once: from now on chunks repair gaps.
    EndResult end(std::int32_t transfer_id);

    MissingList missing_list() const;

    // Closes and removes the temporary file; the target stays as it was.
    void abandon();

    // Why the last refused start, failed chunk or failed end went wrong; ok
    // until one has.
    const platform::IoStatus& last_failure() const { return last_failure_; }

    bool active() const { return active_; }
    // The id of the current upload, or of the last one once it has ended.
    std::int32_t transfer_id() const { return transfer_id_; }
    // The path the client named in the last start.
    const std::string& wire_path() const { return wire_path_; }

private:
    // Writes what chunks gathered.
    platform::IoStatus flush();
    bool whole_on_disk();
    // Dates, attributes, syncs and renames the temporary file over the target.
    platform::IoStatus finish();
    // Keeps `why` as the last failure and abandons the upload.
    void fail(platform::IoStatus why);
    StartResult refuse(platform::IoStatus why);

    platform::Env* env_ = nullptr;
    support::FileStream stream_;
    std::string wire_path_;
    std::string target_;
    std::string temp_;
    std::uint64_t size_ = 0;
    std::uint32_t attributes_ = 0;
    std::int32_t dos_date_ = 0;
    std::int32_t transfer_id_ = 0;
    std::int64_t next_ = 0;
    bool in_order_ = true;
    bool active_ = false;
    MissingChunks missing_;
    support::GatheredWrites gathered_;
    platform::IoStatus last_failure_;
};

}  // namespace rk::files
