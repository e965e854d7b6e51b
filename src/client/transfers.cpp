#include "client/transfers.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <set>

#include "platform/dos_time.h"
#include "platform/env.h"
#include "support/file_stream.h"
#include "support/gathered_writes.h"
#include "wire/batch.h"
#include "wire/chunk.h"
#include "wire/codes.h"
#include "wire/file_header.h"
#include "wire/missing_list.h"
#include "wire/payload.h"

namespace rk::client {

namespace {

using namespace std::chrono_literals;
using wire::code_of;
using wire::Data;
using wire::Kind;
using wire::Reply;
using wire::Request;

bool is(const wire::PacketHead& h, Kind kind, std::uint8_t code) {
    return h.kind == std::uint8_t(kind) && h.code == code;
}

// Asks the server to stop sending a stream we will not take.
void stop_stream(Connection& link) { link.request(Kind::request, code_of(Request::stop_transfer)); }

// Tells the server we cannot store what it sends (160 or 165); that stops
// its stream as well.
void refuse_stream(Connection& link, Reply why) {
    link.wait_ack(link.send(Kind::reply, code_of(why)));
}

struct Outcome {
    Transfer status = Transfer::done;
    std::string detail;
};

// Which chunks have arrived. Only those past the first gap are remembered
// one by one, so memory follows what was received, not what was announced.
class ChunkTracker {
public:
    explicit ChunkTracker(std::uint64_t count) : count_(count) {}

    // False for a chunk already held.
    bool add(std::uint64_t index) {
        if (index < first_missing_ || ahead_.contains(index)) return false;
        if (index != first_missing_) {
            ahead_.insert(index);
            return true;
        }
        ++first_missing_;
        while (!ahead_.empty() && *ahead_.begin() == first_missing_) {
            ahead_.erase(ahead_.begin());
            ++first_missing_;
        }
        return true;
    }
    bool complete() const { return first_missing_ >= count_; }
    std::uint64_t first_missing() const { return first_missing_; }

private:
    std::uint64_t count_;
    std::uint64_t first_missing_ = 0;
    std::set<std::uint64_t> ahead_;
};

using Sink = std::function<bool(std::uint64_t offset, std::span<const std::uint8_t> bytes)>;

// Takes the chunks of one outbound stream of the server and answers its
// end-of-pass questions (122) until everything is in. `wait_for_pass_end`:
// the server asks even when the stream is empty, and must be answered.
Outcome receive_stream(Connection& link, std::int32_t tid, std::uint8_t data_code,
                       std::uint64_t size, const Sink& sink, const Progress& progress,
                       bool wait_for_pass_end) {
    const std::uint64_t count = wire::chunk_count(size);
    ChunkTracker chunks(count);
    std::uint64_t received = 0;
    if (size == 0 && !wait_for_pass_end) return {};
    const auto ours = [&](const wire::PacketHead& h) {
        return h.arg1 == tid && (is(h, Kind::data, data_code) ||
                                 is(h, Kind::request, code_of(Request::end_of_pass)));
    };
    for (;;) {
        auto packet = link.receive_if(ours, link.options().answer_timeout);
        if (!packet) {
            // An empty stream is whole even if the question never comes.
            if (size == 0 && !link.closed()) return {};
            return {Transfer::no_answer, "the server stopped sending"};
        }
        const wire::PacketHead& h = packet->head;
        if (h.kind == std::uint8_t(Kind::request)) {
            // Unacknowledged: the server asks again until it hears an answer.
            if (chunks.complete()) {
                link.send(Kind::request, code_of(Request::transfer_received), {tid, 0, 0, 0}, {},
                          false);
                return {};
            }
            link.send(Kind::request, code_of(Request::resend_from),
                      {tid, std::int32_t(chunks.first_missing()), 0, 0}, {}, false);
            continue;
        }
        if (h.arg2 < 0 || std::uint64_t(h.arg2) >= count) {
            stop_stream(link);
            return {Transfer::malformed, "chunk " + std::to_string(h.arg2) + " lies outside the " +
                                             std::to_string(size) + " bytes announced"};
        }
        const std::uint64_t index = std::uint64_t(h.arg2);
        const std::uint64_t offset = index * wire::kChunkSize;
        const std::size_t expected =
            std::size_t(std::min<std::uint64_t>(wire::kChunkSize, size - offset));
        const wire::Decoded<wire::Chunk> chunk = wire::Chunk::decode(std::move(*packet));
        if (!chunk.ok()) {
            stop_stream(link);
            return {Transfer::malformed,
                    "chunk " + std::to_string(index) + " does not decompress: " + chunk.error};
        }
        const std::span<const std::uint8_t> data = chunk.value.bytes;
        if (data.size() != expected) {
            stop_stream(link);
            return {Transfer::malformed, "chunk " + std::to_string(index) + " holds " +
                                             std::to_string(data.size()) + " bytes, not " +
                                             std::to_string(expected)};
        }
        if (!chunks.add(index)) continue;
        if (!sink(offset, data)) {
            refuse_stream(link, Reply::cannot_write);
            return {Transfer::local_failed, "cannot write what arrives"};
        }
        received += data.size();
        if (progress) progress(received, size);
    }
}

// Collects a stream in memory, growing as chunks arrive rather than by what
// the header claims.
Sink memory_sink(std::vector<std::uint8_t>& bytes) {
    return [&bytes](std::uint64_t offset, std::span<const std::uint8_t> data) {
        const std::size_t end = std::size_t(offset) + data.size();
        if (bytes.size() < end) bytes.resize(end);
        std::memcpy(bytes.data() + offset, data.data(), data.size());
        return true;
    };
}

std::int32_t local_dos_date(const std::filesystem::path& file) {
    std::error_code ec;
    const auto stamp = std::filesystem::last_write_time(file, ec);
    if (ec) return -1;
    const auto sys = std::chrono::file_clock::to_sys(stamp);
    return std::int32_t(platform::to_dos_time(std::chrono::system_clock::to_time_t(
        std::chrono::time_point_cast<std::chrono::system_clock::duration>(sys))));
}

void set_local_date(const std::filesystem::path& file, std::int32_t dos_date) {
    const auto time = platform::from_dos_time(std::uint32_t(dos_date));
    if (!time) return;  // no date the server could give: the file keeps "now"
    const auto sys = std::chrono::system_clock::from_time_t(*time);
    std::error_code ignored;
    std::filesystem::last_write_time(file, std::chrono::file_clock::from_sys(sys), ignored);
}

}  // namespace

std::string_view describe(Transfer status) {
    switch (status) {
        case Transfer::done:
            return "done";
        case Transfer::missing:
            return "no such file or folder";
        case Transfer::refused:
            return "the server cannot create the file";
        case Transfer::server_failed:
            return "the server could not write the file";
        case Transfer::local_failed:
            return "a local file could not be read or written";
        case Transfer::malformed:
            return "the server sent malformed data";
        case Transfer::too_large:
            return "the server announced more data than this client accepts";
        case Transfer::no_answer:
            break;
    }
    return "no answer from the server";
}

Listing decode_listing(std::span<const std::uint8_t> bytes, std::int32_t file_count) {
    wire::Decoded<wire::ListingContent> content = wire::decode_listing(bytes, file_count);
    Listing listing;
    if (!content.ok()) {
        listing.status = Transfer::malformed;
        listing.detail = std::move(content.error);
        return listing;
    }
    listing.status = Transfer::done;
    listing.files = std::move(content.value.files);
    listing.folders = std::move(content.value.folders);
    return listing;
}

Listing list(Connection& link, std::string_view wire_path) {
    Listing listing;
    if (!link.request(Kind::request, code_of(Request::list_folder), {},
                      wire::path_payload(wire_path))) {
        return listing;
    }
    const auto header = link.receive_if(
        [](const wire::PacketHead& h) { return is(h, Kind::data, code_of(Data::listing_header)); },
        link.options().answer_timeout);
    if (!header) return listing;
    const wire::ListingHeader h = wire::ListingHeader::decode(header->head);
    if (!h.possible()) {
        listing.status = Transfer::malformed;
        listing.detail = "impossible listing header";
        if (h.size != 0) stop_stream(link);
        return listing;
    }
    const auto size = std::uint64_t(h.size);
    if (!h.exists()) {
        if (size != 0) stop_stream(link);
        listing.status = Transfer::missing;
        return listing;
    }
    if (size > kMaxListingSize) {
        stop_stream(link);
        listing.status = Transfer::too_large;
        listing.detail = "a listing of " + std::to_string(size) + " bytes";
        return listing;
    }
    std::vector<std::uint8_t> bytes;
    bytes.reserve(std::size_t(std::min<std::uint64_t>(size, 1u << 20)));
    const Outcome got = receive_stream(link, h.transfer_id, code_of(Data::listing_chunk), size,
                                       memory_sink(bytes), {}, false);
    if (got.status != Transfer::done) {
        listing.status = got.status;
        listing.detail = got.detail;
        return listing;
    }
    return decode_listing(bytes, h.file_count);
}

Download download(Connection& link, std::string_view wire_path, const std::filesystem::path& local,
                  const Progress& progress) {
    Download result;
    if (!link.request(Kind::request, code_of(Request::download_file), {},
                      wire::path_payload(wire_path))) {
        return result;
    }
    const auto header = link.receive_if(
        [](const wire::PacketHead& h) {
            return is(h, Kind::data, code_of(Data::file_header)) ||
                   is(h, Kind::reply, code_of(Reply::cannot_open));
        },
        link.options().answer_timeout);
    if (!header) return result;
    if (header->head.kind == std::uint8_t(Kind::reply)) {
        result.status = Transfer::missing;
        return result;
    }
    const wire::FileHeader file = wire::FileHeader::decode(*header);
    result.size = file.size;
    result.attributes = file.attributes;
    result.dos_date = file.dos_date;
    if (wire::chunk_count(file.size) > wire::kMaxChunks) {
        stop_stream(link);
        result.status = Transfer::too_large;
        result.detail = "a file of " + std::to_string(file.size) + " bytes";
        return result;
    }

    // Hidden and beside the target, so that the rename stays on one file
    // system and never leaves a half file under the real name.
    const std::filesystem::path partial =
        local.parent_path() / ("." + local.filename().string() + ".rkpart");
    support::OpenedStream opened =
        support::FileStream::create_for_receiving(platform::Env::host(), partial.string());
    if (!opened) {
        if (file.size > 0) refuse_stream(link, Reply::cannot_create);
        result.status = Transfer::local_failed;
        result.detail = "cannot create " + partial.string() + ": " + opened.error.message();
        return result;
    }
    support::FileStream& out = opened.stream;
    // Chunks arrive a kilobyte at a time; the file is written in large blocks.
    support::GatheredWrites gathered;
    std::error_code write_error;
    const Sink to_file = [&](std::uint64_t offset, std::span<const std::uint8_t> data) {
        write_error = gathered.write_at(out, offset, data);
        return !write_error;
    };
    const Outcome got = receive_stream(link, file.transfer_id, code_of(Data::file_chunk), file.size,
                                       to_file, progress, false);
    if (!write_error) write_error = gathered.flush(out);
    out.close();
    std::error_code ec;
    if (got.status == Transfer::done && write_error) {
        result.status = Transfer::local_failed;
        result.detail = "cannot write " + partial.string() + ": " + write_error.message();
    } else if (got.status != Transfer::done) {
        result.status = got.status;
        result.detail = got.detail;
    } else {
        std::filesystem::rename(partial, local, ec);
        if (ec) {
            result.status = Transfer::local_failed;
            result.detail = "cannot rename to " + local.string() + ": " + ec.message();
        } else {
            set_local_date(local, file.dos_date);
            result.status = Transfer::done;
            return result;
        }
    }
    std::filesystem::remove(partial, ec);
    return result;
}

Batch download_batch(Connection& link, const std::vector<std::string>& wire_paths) {
    Batch batch;
    wire::BatchRequest request;
    for (std::size_t i = 0; i < wire_paths.size(); ++i)
        request.names.push_back({wire_paths[i], std::int32_t(i)});
    if (!link.request(request.encode())) return batch;
    // One name is answered as a plain download; the client cannot know in
    // advance which names the server counts, so both shapes are taken.
    const auto header = link.receive_if(
        [](const wire::PacketHead& h) {
            return is(h, Kind::request, code_of(Request::batch_header)) ||
                   is(h, Kind::data, code_of(Data::file_header)) ||
                   is(h, Kind::reply, code_of(Reply::cannot_open));
        },
        link.options().answer_timeout);
    if (!header) return batch;
    const wire::PacketHead& h = header->head;
    if (h.kind == std::uint8_t(Kind::reply)) {
        batch.status = Transfer::done;
        batch.entries.push_back({0, -1, 0, -1, {}});
        return batch;
    }
    const bool single = h.kind == std::uint8_t(Kind::data);
    wire::FileHeader file;
    if (single) {
        file = wire::FileHeader::decode(*header);
    } else if (const wire::BatchHeader stream = wire::BatchHeader::decode(h); !stream.possible()) {
        batch.status = Transfer::malformed;
        batch.detail = "negative batch size";
        stop_stream(link);
        return batch;
    } else {
        file.size = std::uint64_t(stream.size);
        file.transfer_id = stream.transfer_id;
    }
    if (file.size > kMaxBatchSize) {
        stop_stream(link);
        batch.status = Transfer::too_large;
        batch.detail = std::to_string(file.size) + " bytes";
        return batch;
    }
    std::vector<std::uint8_t> bytes;
    bytes.reserve(std::size_t(std::min<std::uint64_t>(file.size, 1u << 20)));
    const Outcome got = receive_stream(
        link, file.transfer_id, single ? code_of(Data::file_chunk) : code_of(Data::batch_chunk),
        file.size, memory_sink(bytes), {}, !single);
    if (got.status != Transfer::done) {
        batch.status = got.status;
        batch.detail = got.detail;
        return batch;
    }
    if (!single) {
        auto stream = wire::decode_batch_stream(bytes);
        batch.status = stream.ok() ? Transfer::done : Transfer::malformed;
        batch.detail = std::move(stream.error);
        batch.entries = std::move(stream.value);
        return batch;
    }
    batch.status = Transfer::done;
    batch.entries.push_back(
        {0, std::int64_t(file.size), file.attributes, file.dos_date, std::move(bytes)});
    return batch;
}

Upload upload(Connection& link, const std::filesystem::path& local, std::string_view wire_path,
              const UploadOptions& options) {
    Upload result;
    const auto fail = [&result](Transfer status, std::string detail) {
        result.status = status;
        result.detail = std::move(detail);
        return result;
    };
    std::error_code ec;
    if (!std::filesystem::is_regular_file(local, ec)) {
        return fail(Transfer::local_failed, "not a readable file: " + local.string());
    }
    const std::uint64_t size = std::filesystem::file_size(local, ec);
    std::ifstream in(local, std::ios::binary);
    if (ec || !in) return fail(Transfer::local_failed, "cannot read " + local.string());
    // The wire carries 48 bits of size and 31 bits of chunk index.
    if (size > wire::kMaxFileSize || wire::chunk_count(size) > wire::kMaxChunks) {
        return fail(Transfer::too_large, "a file of " + std::to_string(size) + " bytes");
    }
    const std::uint64_t count = wire::chunk_count(size);
    const std::int32_t tid = link.take_transfer_id();
    result.transfer_id = tid;
    const wire::FileHeader header{size, platform::attr::kArchive, local_dos_date(local), tid,
                                  std::string(wire_path)};
    if (!link.request(header.encode())) return result;

    // 160 names no transfer; it can only be the answer to our start.
    const auto is_answer = [tid](const wire::PacketHead& h) {
        if (h.kind != std::uint8_t(Kind::reply)) return false;
        if (h.code == code_of(Reply::cannot_create)) return true;
        return h.arg1 == tid && (h.code == code_of(Reply::upload_complete) ||
                                 h.code == code_of(Reply::cannot_write));
    };
    const auto finish = [&](const wire::PacketHead& h) {
        if (h.code == code_of(Reply::upload_complete)) return fail(Transfer::done, {});
        if (h.code == code_of(Reply::cannot_create)) return fail(Transfer::refused, {});
        return fail(Transfer::server_failed, {});
    };
    // Answers that came while we were sending; other packets are not ours.
    const auto answered = [&]() -> std::optional<wire::PacketHead> {
        while (auto packet = link.receive(0ms)) {
            if (is_answer(packet->head)) return packet->head;
        }
        return std::nullopt;
    };

    std::uint64_t sent = 0;
    // The file is read in blocks: the chunks of a pass follow one another.
    constexpr std::size_t kReadBlock = 256 * 1024;
    std::vector<std::uint8_t> block;
    std::uint64_t block_at = 0;
    const auto send_chunk = [&](std::uint64_t index) {
        const std::uint64_t offset = index * wire::kChunkSize;
        const auto n = std::size_t(std::min<std::uint64_t>(wire::kChunkSize, size - offset));
        if (offset < block_at || offset + n > block_at + block.size()) {
            block_at = offset;
            block.resize(std::size_t(std::min<std::uint64_t>(kReadBlock, size - offset)));
            in.seekg(std::streamoff(offset));
            in.read(reinterpret_cast<char*>(block.data()), std::streamsize(block.size()));
            block.resize(std::size_t(std::max<std::streamsize>(in.gcount(), 0)));
            // A file that shrank under us cannot be sent as announced.
            if (block.size() < n) return false;
        }
        const auto bytes = std::span(block).subspan(std::size_t(offset - block_at), n);
        // Chunks are not acknowledged: the missing list repairs a loss.
        const wire::Packet packet =
            options.compress
                ? wire::Chunk::encode(Data::file_chunk, tid, std::int32_t(index), bytes, true)
                : wire::Packet{wire::Chunk::head(Data::file_chunk, tid, std::int32_t(index)), {}};
        const wire::PacketHead& h = packet.head;
        link.post(Kind::data, h.code, {h.arg1, h.arg2, h.arg3, h.arg4},
                  options.compress ? std::span<const std::uint8_t>(packet.payload) : bytes);
        sent += n;
        if (options.progress) options.progress(std::min(sent, size), size);
        return true;
    };
    const auto local_failure = [&]() {
        stop_stream(link);  // the server abandons the partial file
        return fail(Transfer::local_failed, local.string() + " changed while it was sent");
    };

    if (count == 0) {
        const auto reply = link.receive_if(is_answer, link.options().answer_timeout);
        return reply ? finish(reply->head) : result;
    }
    for (std::uint64_t index = 0; index < count; ++index) {
        if (options.skip_on_first_pass && options.skip_on_first_pass(index)) continue;
        if (!send_chunk(index)) return local_failure();
        if (link.closed()) return result;
        // An early answer (a failure, or a file the server already has
        // whole) is looked for once per block of chunks.
        if (index % 64 == 63) {
            if (const auto h = answered()) return finish(*h);
        }
    }

    // Each round repairs up to a full list; more rounds than the lists it
    // takes to name every chunk mean a server that never settles.
    const std::uint64_t max_rounds = count / wire::kMaxMissingListed + 8;
    for (std::uint64_t round = 0;; ++round) {
        if (const auto h = answered()) return finish(*h);
        if (round == max_rounds) {
            stop_stream(link);
            return fail(Transfer::malformed, "the server keeps missing chunks");
        }
        if (!link.request(Kind::request, code_of(Request::end_of_pass), {tid, 0, 0, 0})) {
            return result;
        }
        const auto reply = link.receive_if(
            [&](const wire::PacketHead& h) {
                return is_answer(h) ||
                       (is(h, Kind::data, code_of(Data::missing_chunks)) && h.arg1 == tid);
            },
            link.options().answer_timeout);
        if (!reply) return result;
        if (reply->head.kind == std::uint8_t(Kind::reply)) return finish(reply->head);

        const wire::Decoded<wire::MissingList> list = wire::MissingList::decode(*reply);
        if (!list.ok()) {
            stop_stream(link);
            return fail(Transfer::malformed, list.error);
        }
        for (const std::int32_t index : list.value.indices) {
            if (index < 0 || std::uint64_t(index) >= count) {
                stop_stream(link);
                return fail(Transfer::malformed, "the server misses chunk " +
                                                     std::to_string(index) + " of " +
                                                     std::to_string(count));
            }
            if (!send_chunk(std::uint64_t(index))) return local_failure();
            ++result.chunks_resent;
        }
    }
}

}  // namespace rk::client
