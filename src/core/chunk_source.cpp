#include "core/chunk_source.h"

#include <algorithm>

#include "wire/codes.h"

namespace rk::core {

ChunkSource ChunkSource::of_bytes(std::vector<std::uint8_t> bytes, std::uint8_t data_code,
                                  bool compress) {
    ChunkSource s;
    s.data_code_ = data_code;
    s.compress_ = compress;
    s.size_ = bytes.size();
    s.bytes_ = std::move(bytes);
    return s;
}

ChunkSource ChunkSource::of_file(support::FileStream file, std::uint64_t size) {
    ChunkSource s;
    s.data_code_ = wire::code_of(wire::Data::file_chunk);
    s.size_ = size;
    s.is_file_ = true;
    s.file_ = std::move(file);
    return s;
}

std::span<const std::uint8_t> ChunkSource::chunk(std::uint64_t index) {
    const std::uint64_t offset = index * wire::kChunkSize;
    if (index >= wire::chunk_count(size_)) return {};
    const std::size_t length =
        std::size_t(std::min<std::uint64_t>(wire::kChunkSize, size_ - offset));
    if (!is_file_) return std::span(bytes_).subspan(std::size_t(offset), length);

    const bool cached = offset >= block_start_ && offset + length <= block_start_ + bytes_.size();
    if (!cached) {
        block_start_ = offset;
        bytes_.resize(std::size_t(std::min<std::uint64_t>(kReadAhead, size_ - offset)));
        std::size_t got = 0;
        if (file_.seek64(std::int64_t(offset), platform::SeekOrigin::begin))
            got = file_.read(bytes_);
        bytes_.resize(got);
        // A file cut short meanwhile gives what is left of the chunk, or nothing.
        if (got == 0) return {};
    }
    const std::size_t at = std::size_t(offset - block_start_);
    return std::span(bytes_).subspan(at, std::min(length, bytes_.size() - at));
}

std::size_t ChunkSource::read_chunks(std::uint64_t index,
                                     std::span<const std::span<std::uint8_t>> slots) {
    if (!is_file_ ||
        !file_.seek64(std::int64_t(index * wire::kChunkSize), platform::SeekOrigin::begin))
        return 0;
    return file_.read_scattered(slots) / wire::kChunkSize;
}

}  // namespace rk::core
