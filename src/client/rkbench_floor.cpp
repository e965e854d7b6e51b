#include "client/rkbench_floor.h"

#include <algorithm>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>
#include <memory>
#include <optional>

#include "platform/env.h"
#include "wire/batch.h"
#include "wire/chunk.h"
#include "wire/codes.h"
#include "wire/file_header.h"
#include "wire/framer.h"
#include "wire/listing.h"
#include "wire/missing_list.h"
#include "wire/payload.h"
#include "wire/recent_seqs.h"

namespace rk::bench {

namespace {

using asio::ip::tcp;
using wire::code_of;
using wire::Data;
using wire::Kind;
using wire::Reply;
using wire::Request;
using Stream = FloorServer::Stream;

// 2024-01-01 00:00, a date every client can set on the file it writes.
constexpr std::int32_t kDosDate = (44 << 25) | (1 << 21) | (1 << 16);
// A stream goes out in writes of about this size.
constexpr std::size_t kWriteBlock = 256 * 1024;

// Header, chunks of `content` and the end-of-pass question, as the real
// server shapes them; chunks are compressed where `compress` and it pays.
Stream prepare(const wire::Packet& header, Data chunk_code, std::span<const std::uint8_t> content,
               bool compress, bool ask_when_empty, std::int32_t transfer_id) {
    Stream stream;
    stream.transfer_id = transfer_id;
    wire::append_packet(stream.header, header.head, header.payload);
    for (std::size_t at = 0; at < content.size(); at += wire::kChunkSize) {
        const auto piece = content.subspan(at, std::min(wire::kChunkSize, content.size() - at));
        const auto index = std::int32_t(at / wire::kChunkSize);
        stream.starts.push_back(stream.chunks.size());
        if (compress) {
            const wire::Packet chunk =
                wire::Chunk::encode(chunk_code, transfer_id, index, piece, true);
            wire::append_packet(stream.chunks, chunk.head, chunk.payload);
        } else {
            wire::append_packet(stream.chunks, wire::Chunk::head(chunk_code, transfer_id, index),
                                piece);
        }
    }
    if (!content.empty() || ask_when_empty) {
        auto ask = wire::packet_head(Request::end_of_pass, false);
        ask.arg1 = transfer_id;
        wire::append_packet(stream.end_of_pass, ask);
    }
    return stream;
}

Stream prepare_file(const std::string& name, std::span<const std::uint8_t> bytes,
                    std::int32_t transfer_id) {
    const wire::FileHeader header{bytes.size(), platform::attr::kArchive, kDosDate, transfer_id,
                                  name};
    return prepare(header.encode(), Data::file_chunk, bytes, false, false, transfer_id);
}

Stream prepare_listing(const client::Listing& listing, std::int32_t transfer_id) {
    wire::ListingWriter writer;
    for (const client::ListedFile& f : listing.files)
        writer.file(f.path, f.size, f.attributes, f.dos_date);
    for (const client::ListedFolder& f : listing.folders) writer.folder(f.path, f.total);
    const std::int32_t file_count = writer.file_count();
    const std::vector<std::uint8_t> content = writer.take();
    const wire::ListingHeader header{
        .file_count = file_count, .size = std::int32_t(content.size()), .transfer_id = transfer_id};
    return prepare(header.encode(), Data::listing_chunk, content, true, false, transfer_id);
}

// An ack, a reply or any packet of the moment, numbered as it is appended.
void append_fresh(std::vector<std::uint8_t>& out, wire::PacketHead head, std::uint32_t& seq,
                  std::span<const std::uint8_t> payload = {}) {
    head.seq = ++seq;
    wire::append_packet(out, head, payload);
}

}  // namespace

// One accepted connection: packets are handled as they are framed, their
// answers gathered and written once per read; a stream's body follows in
// blocks once its header is acknowledged.
class FloorServer::Link {
public:
    Link(FloorServer& floor, tcp::socket socket) : floor_(floor), socket_(std::move(socket)) {}

    asio::awaitable<void> run() {
        std::vector<std::uint8_t> buffer(64 * 1024);
        for (;;) {
            std::error_code ec;
            const std::size_t n = co_await socket_.async_read_some(
                asio::buffer(buffer), asio::redirect_error(asio::use_awaitable, ec));
            if (ec) co_return;
            const auto result =
                framer_.take(std::span(buffer).first(n),
                             [this](std::span<const std::uint8_t> raw) { take(raw); });
            if (result == wire::Framer::Result::fatal) co_return;
            if (!co_await flush()) co_return;
        }
    }

private:
    // Appends prepared packets, each numbered with the next Seq. They were
    // sealed with Seq 0, so the new Seq's bytes come off the CheckSum byte
    // to keep the packet's byte sum at 0.
    void append_numbered(std::span<const std::uint8_t> packets) {
        std::size_t at = out_.size();
        out_.insert(out_.end(), packets.begin(), packets.end());
        while (at < out_.size()) {
            std::uint8_t* p = out_.data() + at;
            wire::store_u32(p + 8, ++seq_);
            p[15] = std::uint8_t(p[15] - p[8] - p[9] - p[10] - p[11]);
            at += wire::load_u32(p + 4);
        }
    }

    void start(const Stream& stream) {
        append_numbered(stream.header);
        header_seq_ = seq_;
        waiting_ = &stream;
    }

    void take(std::span<const std::uint8_t> raw) {
        const auto head = wire::decode_head(raw);
        if (!head || !wire::checksum_ok(raw)) return;
        if (head->kind == std::uint8_t(Kind::ack)) {
            if (waiting_ && std::uint32_t(head->arg1) == header_seq_) {
                current_ = waiting_;
                due_from_ = 0;
                waiting_ = nullptr;
            }
            return;
        }
        if (head->want_ack != 0) wire::append_ack(out_, seq_, head->seq);
        if (!recent_.accept(head->seq)) return;
        const std::uint8_t code = head->code;
        switch (Kind(head->kind)) {
            case Kind::request:
                return on_request(*head, raw);
            case Kind::data:
                if (code == code_of(Data::file_chunk)) return on_upload_chunk(*head);
                if (code == code_of(Data::file_header)) return on_upload_start(raw);
                return;
            default:
                return;
        }
    }

    void on_request(const wire::PacketHead& head, std::span<const std::uint8_t> raw) {
        const auto payload = raw.subspan(std::min(raw.size(), wire::kHeaderSize));
        switch (Request(head.code)) {
            case Request::logon:
                return append_fresh(out_, wire::packet_head(Reply::logon_accepted, true), seq_);
            case Request::logoff:
                return append_fresh(out_, wire::packet_head(Reply::logged_off, true), seq_);
            case Request::list_folder: {
                const auto it = floor_.listings_.find(wire::zstr_at(payload));
                if (it != floor_.listings_.end()) return start(it->second);
                const wire::Packet none = wire::ListingHeader{.file_count = -1}.encode();
                return append_fresh(out_, none.head, seq_);
            }
            case Request::download_file:
                return download(wire::zstr_at(payload));
            case Request::download_batch: {
                const auto packet = wire::decode_packet(raw);
                if (!packet) return;
                // A one-name batch is answered as a download; any name is the
                // stock file, unless it names one of the files.
                const auto names = wire::BatchRequest::decode(*packet).value.names;
                if (names.size() == 1 && floor_.files_.contains(names.front().wire_path)) {
                    return download(names.front().wire_path);
                }
                return start(floor_.batch(names.size()));
            }
            case Request::resend_from:
                if (current_ && head.arg1 == current_->transfer_id) {
                    due_from_ = std::size_t(std::max(0, head.arg2));
                }
                return;
            case Request::transfer_received:
                if (current_ && head.arg1 == current_->transfer_id) current_ = nullptr;
                return;
            case Request::stop_transfer:
                waiting_ = current_ = nullptr;
                upload_.reset();
                return;
            case Request::end_of_pass:
                return on_upload_end(head.arg1);
            default:
                return;
        }
    }

    void download(const std::string& name) {
        const auto it = floor_.files_.find(name);
        if (it != floor_.files_.end()) return start(it->second);
        append_fresh(out_, wire::packet_head(Reply::cannot_open, true), seq_);
    }

    void on_upload_start(std::span<const std::uint8_t> raw) {
        const auto packet = wire::decode_packet(raw);
        if (!packet) return;
        const auto header = wire::FileHeader::decode(*packet);
        const std::uint64_t count = wire::chunk_count(header.size);
        upload_.reset();
        if (count == 0) return complete(header.transfer_id);
        if (count > wire::kMaxChunks) return;  // no client announces one
        upload_.emplace(Upload{header.transfer_id, std::vector<bool>(count), count});
    }

    void on_upload_chunk(const wire::PacketHead& head) {
        if (!upload_ || head.arg1 != upload_->transfer_id || head.arg2 < 0 ||
            std::size_t(head.arg2) >= upload_->have.size() ||
            upload_->have[std::size_t(head.arg2)]) {
            return;
        }
        upload_->have[std::size_t(head.arg2)] = true;
        if (--upload_->missing == 0) {
            complete(upload_->transfer_id);
            upload_.reset();
        }
    }

    void on_upload_end(std::int32_t transfer_id) {
        if (!upload_ || transfer_id != upload_->transfer_id) return;
        wire::MissingList list{
            .transfer_id = transfer_id, .count = std::int32_t(upload_->missing), .indices = {}};
        for (std::size_t i = 0; i < upload_->have.size(); ++i) {
            if (list.indices.size() == wire::kMaxMissingListed) break;
            if (!upload_->have[i]) list.indices.push_back(std::int32_t(i));
        }
        const wire::Packet packet = list.encode();
        append_fresh(out_, packet.head, seq_, packet.payload);
    }

    void complete(std::int32_t transfer_id) {
        auto head = wire::packet_head(Reply::upload_complete, true);
        head.arg1 = transfer_id;
        append_fresh(out_, head, seq_);
    }

    asio::awaitable<bool> write() {
        std::error_code ec;
        co_await asio::async_write(socket_, asio::buffer(out_),
                                   asio::redirect_error(asio::use_awaitable, ec));
        out_.clear();
        co_return !ec;
    }

    // The answers gathered, then the body of a stream whose header was
    // acknowledged, from where the client wants it.
    asio::awaitable<bool> flush() {
        if (!out_.empty() && !co_await write()) co_return false;
        while (current_ && due_from_) {
            const Stream& stream = *current_;
            std::size_t from = *due_from_;
            due_from_.reset();
            while (from < stream.starts.size()) {
                std::size_t to = from;
                while (to < stream.starts.size() &&
                       stream.starts[to] - stream.starts[from] < kWriteBlock) {
                    ++to;
                }
                const std::size_t end =
                    to < stream.starts.size() ? stream.starts[to] : stream.chunks.size();
                append_numbered(std::span(stream.chunks)
                                    .subspan(stream.starts[from], end - stream.starts[from]));
                if (!co_await write()) co_return false;
                from = to;
            }
            append_numbered(stream.end_of_pass);
            if (!co_await write()) co_return false;
        }
        co_return true;
    }

    struct Upload {
        std::int32_t transfer_id = 0;
        std::vector<bool> have;
        std::uint64_t missing = 0;
    };

    FloorServer& floor_;
    tcp::socket socket_;
    wire::Framer framer_;
    wire::RecentSeqs recent_;
    std::vector<std::uint8_t> out_;
    std::uint32_t seq_ = 0;
    const Stream* waiting_ = nullptr;  // header sent, not yet acknowledged
    std::uint32_t header_seq_ = 0;
    const Stream* current_ = nullptr;      // body sent or due
    std::optional<std::size_t> due_from_;  // the chunk the body goes on from
    std::optional<Upload> upload_;
};

FloorServer::FloorServer(Content content)
    : batch_file_(std::move(content.batch_file)),
      batch_entries_(std::max<std::size_t>(1, content.batch_entries)),
      acceptor_(io_, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0)) {
    for (const auto& [name, bytes] : content.files)
        files_.emplace(name, prepare_file(name, bytes, next_transfer_id_++));
    for (const auto& [name, listing] : content.listings)
        listings_.emplace(name, prepare_listing(listing, next_transfer_id_++));
    port_ = acceptor_.local_endpoint().port();
    asio::co_spawn(io_, accept(), asio::detached);
    thread_ = std::thread([this] { io_.run(); });
}

FloorServer::~FloorServer() {
    io_.stop();
    thread_.join();
}

asio::awaitable<void> FloorServer::accept() {
    for (;;) {
        std::error_code ec;
        tcp::socket socket =
            co_await acceptor_.async_accept(asio::redirect_error(asio::use_awaitable, ec));
        if (ec) continue;
        socket.set_option(tcp::no_delay(true), ec);
        auto link = std::make_shared<Link>(*this, std::move(socket));
        asio::co_spawn(
            io_, [link]() { return link->run(); }, asio::detached);
    }
}

const Stream& FloorServer::batch(std::size_t names) {
    const std::size_t entries = std::min(names, batch_entries_);
    auto it = batches_.find(entries);
    if (it != batches_.end()) return it->second;
    if (entries == 1) {
        return batches_.emplace(entries, prepare_file({}, batch_file_, next_transfer_id_++))
            .first->second;
    }
    wire::BatchStreamWriter writer;
    for (std::size_t tag = 0; tag < entries; ++tag)
        writer.file(std::int32_t(tag), platform::attr::kArchive, kDosDate, batch_file_);
    const std::vector<std::uint8_t> content = writer.take();
    const std::int32_t id = next_transfer_id_++;
    const wire::Packet header =
        wire::BatchHeader{.size = std::int32_t(content.size()), .transfer_id = id}.encode();
    return batches_.emplace(entries, prepare(header, Data::batch_chunk, content, false, true, id))
        .first->second;
}

}  // namespace rk::bench
