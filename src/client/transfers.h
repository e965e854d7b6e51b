// File transfers over a logged-on Connection: folder listings, downloads of
// one file or of a batch, uploads with their repair rounds. Everything the
// server sends is checked before it is used: sizes, indices, counts and
// compressed chunks are bounded. The Connection must acknowledge
// automatically (its default), since every transfer header asks for it.
// REQUIRES: the same external synchronization as the Connection.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "client/connection.h"
#include "wire/batch.h"
#include "wire/listing.h"

namespace rk::client {

enum class Transfer {
    done,
    missing,        // the folder or file does not exist or cannot be opened
    refused,        // the server cannot create the uploaded file
    server_failed,  // the server could not write the uploaded file
    local_failed,   // a local file could not be read or written
    malformed,      // the server sent something impossible; the transfer was stopped
    too_large,      // the server announced more than this client will hold
    no_answer,
};

// A short text for a person ("no such file or folder").
std::string_view describe(Transfer status);

// Bytes so far and the total, after every chunk.
using Progress = std::function<void(std::uint64_t done, std::uint64_t total)>;

using ListedFile = wire::ListedFile;
using ListedFolder = wire::ListedFolder;

struct Listing {
    Transfer status = Transfer::no_answer;
    // Every file and folder at any depth below the listed folder.
    std::vector<ListedFile> files;
    std::vector<ListedFolder> folders;
    std::string detail;  // what was wrong, when malformed or too_large
};

// A listing larger than this is refused rather than held in memory.
inline constexpr std::uint64_t kMaxListingSize = 256u << 20;

Listing list(Connection& link, std::string_view wire_path);

// Decodes listing bytes as the server lays them out; `file_count` is what
// its header announced. Exposed for tests and tools that hold raw bytes.
Listing decode_listing(std::span<const std::uint8_t> bytes, std::int32_t file_count);

struct Download {
    Transfer status = Transfer::no_answer;
    std::uint64_t size = 0;
    std::uint32_t attributes = 0;
    std::int32_t dos_date = -1;
    std::string detail;
};

// Writes the remote file to `local` (through a temporary file beside it,
// renamed when complete, so a failed download leaves an old file alone) and
// gives it the remote date.
Download download(Connection& link, std::string_view wire_path, const std::filesystem::path& local,
                  const Progress& progress = {});

// `tag` is the name's index in the request.
using BatchEntry = wire::BatchStreamEntry;

struct Batch {
    Transfer status = Transfer::no_answer;
    // In the server's order. Names it left out (too large, past its limit)
    // have no entry at all.
    std::vector<BatchEntry> entries;
    std::string detail;
};

// A batch (or the one file a single-name batch becomes) larger than this is
// refused rather than held in memory.
inline constexpr std::uint64_t kMaxBatchSize = 64u << 20;

Batch download_batch(Connection& link, const std::vector<std::string>& wire_paths);

struct UploadOptions {
    Progress progress;
    // Compress chunks where that saves bytes. Each chunk is packed on its
    // own, so the gain is small and the cost is a deflate per kilobyte:
    // worth it only on a slow link.
    bool compress = false;
    // Chunks for which this answers true are left out of the first pass, so
    // that tests can make the server ask for them again.
    std::function<bool(std::uint64_t index)> skip_on_first_pass;
};

struct Upload {
    Transfer status = Transfer::no_answer;
    std::int32_t transfer_id = 0;
    std::uint64_t chunks_resent = 0;  // sent again because the server missed them
    std::string detail;
};

Upload upload(Connection& link, const std::filesystem::path& local, std::string_view wire_path,
              const UploadOptions& options = {});

}  // namespace rk::client
