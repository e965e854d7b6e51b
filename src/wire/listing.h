// A folder listing as it travels: the header (203), then its content in
// listing chunks (205). The content holds one record per file (type 0, u64
// size, u32 attributes, u32 DOS date-time, the path NUL-terminated), then the
// folder section: every folder's path followed by CR LF, one NUL, and a u32
// total per folder in the same order. Paths start with a backslash and are
// relative to the listed folder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "wire/decoded.h"
#include "wire/packet.h"

namespace rk::wire {

// Clients keep listed paths in buffers of this size; longer ones are cut.
inline constexpr std::size_t kMaxListedPath = 1024;

// Arg1 holds the number of files, -1 when the folder does not exist; Arg2
// the size of the content in bytes; Arg4 the transfer id.
struct ListingHeader {
    std::int32_t file_count = -1;
    std::int32_t size = 0;
    std::int32_t transfer_id = 0;

    bool exists() const { return file_count != -1; }
    // False for a count below -1 or a negative size.
    bool possible() const { return file_count >= -1 && size >= 0; }

    // Asks for an acknowledgement.
    Packet encode() const;
    static ListingHeader decode(const PacketHead& head);
};

struct ListedFile {
    std::string path;
    std::uint64_t size = 0;
    std::uint32_t attributes = 0;
    std::uint32_t dos_date = 0;
};
struct ListedFolder {
    std::string path;
    std::uint32_t total = 0;  // the sizes of the files below it, in 32 bits
};
struct ListingContent {
    std::vector<ListedFile> files;
    std::vector<ListedFolder> folders;
};

// Lays out a listing's content as files and folders are found, in any order.
// Paths longer than kMaxListedPath are cut to that length.
class ListingWriter {
public:
    void file(std::string_view path, std::uint64_t size, std::uint32_t attributes,
              std::uint32_t dos_date);
    // False, and the folder left out, for a path holding CR or LF: the client
    // splits the folder section at line ends, so such a name would shift
    // every total after it.
    bool folder(std::string_view path, std::uint32_t total);

    std::int32_t file_count() const { return file_count_; }
    // The content; no bytes at all, not a lone NUL, when nothing was added.
    std::vector<std::uint8_t> take();

private:
    std::vector<std::uint8_t> files_;
    std::string folder_text_;
    std::vector<std::uint32_t> folder_totals_;
    std::int32_t file_count_ = 0;
};

// Reads content that its header announced with `file_count` files. Every
// record is checked against the bytes: a count the records do not bear out,
// a record or total cut short, an unknown record type or a folder name
// without its CR LF is an error.
Decoded<ListingContent> decode_listing(std::span<const std::uint8_t> bytes,
                                       std::int32_t file_count);

}  // namespace rk::wire
