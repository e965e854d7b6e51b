#include "files/upload.h"

#include <algorithm>

#include "platform/dos_time.h"
#include "platform/folders.h"
#include "platform/home_files.h"
#include "platform/host_path.h"
#include "platform/wire_path.h"
#include "wire/compression.h"
#include "wire/missing_list.h"
#include "wire/payload.h"

namespace rk::files {

namespace pf = rk::platform;
using Code = pf::IoStatus::Code;

Upload::StartResult Upload::start(pf::Env& env, const std::string& user_root,
                                  std::string_view wire_path, std::uint64_t size,
                                  std::uint32_t attributes, std::int32_t dos_date,
                                  std::int32_t transfer_id) {
    abandon();
    wire_path_ = wire_path;
    const auto refused_path = [&] { return refuse({Code::refused_path, std::string(wire_path)}); };
    if (size > kMaxUploadSize) {
        return refuse(
            {Code::too_large, std::string(wire_path) + " of " + std::to_string(size) + " bytes"});
    }
    // The user's folder comes into being with the first file put in it.
    if (const auto ec = platform::make_folders(env, user_root))
        return refuse(pf::IoStatus::from_error(ec, user_root));
    pf::IoStatus why;
    const auto target = pf::map_wire_path(env, user_root, wire_path, &why);
    if (!target) return refuse(std::move(why));

    if (target->find('/') == std::string::npos) return refused_path();
    const std::string folder = pf::parent_folder(*target);
    const std::string_view name = pf::last_component(*target);
    if (name.empty() || pf::is_upload_temp_name(name)) return refused_path();

    std::error_code ec;
    const pf::EntryType existing = env.stat(*target, ec).type;
    if (ec) return refuse(pf::IoStatus::from_error(ec, *target));
    if (existing == pf::EntryType::directory) return refuse({Code::is_a_folder, *target});
    if (existing == pf::EntryType::other) return refuse({Code::refused_path, *target});
    if (const auto made = platform::make_folders(env, folder))
        return refuse(pf::IoStatus::from_error(made, folder));

    const std::string temp = pf::join_path(folder, pf::upload_temp_name(name));
    // Opening follows links; a link planted where the temporary file goes
    // would have us truncate whatever it points at.
    const pf::EntryType leftover = env.stat(temp, ec).type;
    if (ec) return refuse(pf::IoStatus::from_error(ec, temp));
    if (leftover != pf::EntryType::none && leftover != pf::EntryType::file)
        return refuse({Code::refused_path, temp});
    // A failed create leaves the name alone: it may be another connection's
    // upload in progress, held by its exclusive share.
    support::OpenedStream opened = support::FileStream::create_for_receiving(env, temp);
    if (!opened) return refuse(pf::IoStatus::from_error(opened.error, temp));

    env_ = &env;
    stream_ = std::move(opened.stream);
    target_ = *target;
    temp_ = temp;
    size_ = size;
    attributes_ = attributes & 0xFFFF;
    dos_date_ = dos_date;
    transfer_id_ = transfer_id;
    next_ = 0;
    in_order_ = true;
    missing_.clear();
    active_ = true;

    if (size_ != 0) return StartResult::active;
    if (auto finished = finish(); !finished.ok()) {
        fail(std::move(finished));
        return StartResult::refused;
    }
    return StartResult::complete;
}

Upload::ChunkResult Upload::chunk(std::int32_t transfer_id, std::int32_t index,
                                  std::span<const std::uint8_t> payload, bool compressed) {
    if (!active_ || transfer_id != transfer_id_ || index < 0) return ChunkResult::ignored;
    if (in_order_ && index < next_) return ChunkResult::ignored;

    const auto failed = [&](pf::IoStatus why) {
        fail(std::move(why));
        return ChunkResult::failed;
    };
    const auto chunk_text = [&](std::string_view what) {
        return target_ + ", chunk " + std::to_string(index) + ": " + std::string(what);
    };
    // A plain chunk is written from where it was received.
    std::span<const std::uint8_t> data = payload;
    wire::CodecResult inflated;
    if (compressed) {
        inflated = wire::decompress(payload, wire::kChunkSize);
        if (!inflated.ok()) return failed({Code::damaged, chunk_text(inflated.error)});
        data = inflated.bytes;
    }
    // No chunk may carry more than its share of the declared size, or the
    // file would grow past that size and never be whole.
    const std::uint64_t offset = static_cast<std::uint64_t>(index) * wire::kChunkSize;
    if (offset >= size_) return failed({Code::too_large, chunk_text("past the declared size")});
    const std::uint64_t expected = std::min<std::uint64_t>(wire::kChunkSize, size_ - offset);
    if (data.size() > expected)
        return failed({Code::too_large, chunk_text("longer than its share")});

    if (in_order_) {
        missing_.insert(next_, index);
        next_ = std::int64_t{index} + 1;
    } else {
        missing_.erase(index);
    }
    if (const auto ec = gathered_.write_at(stream_, offset, data))
        return failed(pf::IoStatus::from_error(ec, temp_));
    // Written all the same, but the client has to send the rest of it again.
    if (data.size() < expected) missing_.insert(index, std::int64_t{index} + 1);

    const auto chunks = static_cast<std::int64_t>(wire::chunk_count(size_));
    if (next_ < chunks || !missing_.empty()) return ChunkResult::stored;
    if (auto written = flush(); !written.ok()) return failed(std::move(written));
    if (!whole_on_disk()) return ChunkResult::stored;
    if (auto finished = finish(); !finished.ok()) return failed(std::move(finished));
    return ChunkResult::complete;
}

Upload::EndResult Upload::end(std::int32_t transfer_id) {
    if (!active_ || transfer_id != transfer_id_) return EndResult::ignored;
    in_order_ = false;
    const auto chunks = static_cast<std::int64_t>(wire::chunk_count(size_));
    if (next_ < chunks) {
        missing_.insert(next_, chunks);
        next_ = chunks;
    }
    if (!missing_.empty()) return EndResult::missing;

    if (auto written = flush(); !written.ok()) {
        fail(std::move(written));
        return EndResult::failed;
    }
    // Every chunk arrived whole, so the file can only be short or long if
    // something else touched it; never call that complete.
    const std::uint64_t on_disk = stream_.size64();
    if (on_disk > size_) {
        fail({Code::damaged, temp_ + " grew past the declared size"});
        return EndResult::failed;
    }
    if (on_disk < size_) {
        missing_.insert(static_cast<std::int64_t>(on_disk / wire::kChunkSize), chunks);
        return EndResult::missing;
    }
    if (auto finished = finish(); !finished.ok()) {
        fail(std::move(finished));
        return EndResult::failed;
    }
    return EndResult::complete;
}

Upload::MissingList Upload::missing_list() const {
    wire::MissingList list;
    list.count = static_cast<std::int32_t>(std::min<std::int64_t>(missing_.count(), INT32_MAX));
    for (const std::int64_t index : missing_.first(wire::kMaxMissingListed))
        list.indices.push_back(static_cast<std::int32_t>(index));
    wire::Packed payload = list.payload();
    return {list.count, std::move(payload.bytes), payload.compressed};
}

void Upload::abandon() {
    if (!active_) return;
    active_ = false;
    stream_.close();
    (void)env_->remove_file(temp_);
    missing_.clear();
    gathered_.drop();
}

pf::IoStatus Upload::flush() {
    if (const auto ec = gathered_.flush(stream_)) return pf::IoStatus::from_error(ec, temp_);
    return {};
}

bool Upload::whole_on_disk() { return stream_.size64() == size_; }

pf::IoStatus Upload::finish() {
    if (const auto when = pf::from_dos_time(static_cast<std::uint32_t>(dos_date_))) {
        if (const auto ec = stream_.set_mtime(*when)) return pf::IoStatus::from_error(ec, temp_);
    }
    if (const auto ec = env_->set_attributes(temp_, attributes_))
        return pf::IoStatus::from_error(ec, temp_);
    if (const auto ec = stream_.sync()) return pf::IoStatus::from_error(ec, temp_);
    // Renamed while still open and exclusively shared, so no other upload can
    // take the temporary name in between. rename() replaces a target whose
    // read-only attribute is set, and the old file keeps its attributes until
    // that moment.
    if (const auto ec = env_->rename(temp_, target_)) return pf::IoStatus::from_error(ec, target_);
    active_ = false;
    stream_.close();
    missing_.clear();
    gathered_.drop();
    return {};
}

void Upload::fail(pf::IoStatus why) {
    last_failure_ = std::move(why);
    abandon();
}

Upload::StartResult Upload::refuse(pf::IoStatus why) {
    fail(std::move(why));
    return StartResult::refused;
}

}  // namespace rk::files
