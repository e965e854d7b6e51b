#include "wire/listing.h"

#include <algorithm>

#include "wire/codes.h"

namespace rk::wire {

namespace {

constexpr std::size_t kFileRecordHead = 17;

std::string_view cut(std::string_view path) { return path.substr(0, kMaxListedPath); }

}  // namespace

Packet ListingHeader::encode() const {
    Packet packet{packet_head(Data::listing_header, true), {}};
    packet.head.arg1 = file_count;
    packet.head.arg2 = size;
    packet.head.arg4 = transfer_id;
    return packet;
}

ListingHeader ListingHeader::decode(const PacketHead& head) {
    return {head.arg1, head.arg2, head.arg4};
}

void ListingWriter::file(std::string_view path, std::uint64_t size, std::uint32_t attributes,
                         std::uint32_t dos_date) {
    path = cut(path);
    const std::size_t at = files_.size();
    files_.resize(at + kFileRecordHead);
    files_[at] = 0;
    store_u64(files_.data() + at + 1, size);
    store_u32(files_.data() + at + 9, attributes);
    store_u32(files_.data() + at + 13, dos_date);
    files_.insert(files_.end(), path.begin(), path.end());
    files_.push_back(0);
    ++file_count_;
}

bool ListingWriter::folder(std::string_view path, std::uint32_t total) {
    path = cut(path);
    if (path.find_first_of("\r\n") != std::string_view::npos) return false;
    folder_text_ += path;
    folder_text_ += "\r\n";
    folder_totals_.push_back(total);
    return true;
}

std::vector<std::uint8_t> ListingWriter::take() {
    std::vector<std::uint8_t> out = std::move(files_);
    if (file_count_ == 0 && folder_totals_.empty()) return out;
    out.insert(out.end(), folder_text_.begin(), folder_text_.end());
    out.push_back(0);
    std::size_t at = out.size();
    out.resize(at + 4 * folder_totals_.size());
    for (std::uint32_t total : folder_totals_) {
        store_u32(out.data() + at, total);
        at += 4;
    }
    return out;
}

Decoded<ListingContent> decode_listing(std::span<const std::uint8_t> bytes,
                                       std::int32_t file_count) {
    Decoded<ListingContent> listing;
    const auto bad = [&listing](std::string why) {
        listing.error = std::move(why);
        return listing;
    };
    if (file_count < 0) return bad("negative file count");
    if (bytes.empty()) {
        if (file_count != 0) return bad("an empty listing announced files");
        return listing;
    }
    std::size_t at = 0;
    for (std::int32_t i = 0; i < file_count; ++i) {
        if (bytes.size() - at < kFileRecordHead)
            return bad("file record " + std::to_string(i) + " is cut short");
        if (bytes[at] != 0) return bad("file record " + std::to_string(i) + " has an unknown type");
        ListedFile file;
        file.size = std::uint64_t(load_u32(bytes.data() + at + 1)) |
                    std::uint64_t(load_u32(bytes.data() + at + 5)) << 32;
        file.attributes = load_u32(bytes.data() + at + 9);
        file.dos_date = load_u32(bytes.data() + at + 13);
        at += kFileRecordHead;
        const auto nul = std::find(bytes.begin() + std::ptrdiff_t(at), bytes.end(), 0);
        if (nul == bytes.end()) return bad("file record " + std::to_string(i) + " has no end");
        file.path.assign(bytes.begin() + std::ptrdiff_t(at), nul);
        at = std::size_t(nul - bytes.begin()) + 1;
        listing.value.files.push_back(std::move(file));
    }
    const auto nul = std::find(bytes.begin() + std::ptrdiff_t(at), bytes.end(), 0);
    if (nul == bytes.end()) return bad("the folder section has no end");
    const std::string text(bytes.begin() + std::ptrdiff_t(at), nul);
    at = std::size_t(nul - bytes.begin()) + 1;
    for (std::size_t from = 0; from < text.size();) {
        const auto end = text.find("\r\n", from);
        if (end == std::string::npos) return bad("a folder name is not ended by CR LF");
        listing.value.folders.push_back({text.substr(from, end - from), 0});
        from = end + 2;
    }
    if ((bytes.size() - at) / 4 < listing.value.folders.size())
        return bad("fewer folder totals than folders");
    for (ListedFolder& folder : listing.value.folders) {
        folder.total = load_u32(bytes.data() + at);
        at += 4;
    }
    return listing;
}

}  // namespace rk::wire
