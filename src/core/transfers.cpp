// Transfers of a logged-on connection: listings, downloads and batches
// streamed out in chunks, tree deletion, slot dates, and uploads coming in.
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/use_awaitable.hpp>

#include <functional>
#include <spdlog/spdlog.h>

#include "core/connection.h"
#include "core/engine.h"
#include "core/signal.h"
#include "files/batch.h"
#include "files/download.h"
#include "files/listing.h"
#include "files/slot_dates.h"
#include "files/tree_delete.h"
#include "support/zlib_codec.h"
#include "wire/codes.h"
#include "wire/payload.h"

namespace rk::core {

namespace {

using wire::Data;
using wire::Kind;
using wire::Reply;
using wire::Request;

// A stream waits while this much is queued for the socket, so that a large
// file is read as the client takes it, not all at once.
constexpr std::size_t kStreamBacklog = 64 * 1024;
// After the last chunk the client is asked every 80 ms whether it has all.
constexpr std::uint64_t kAskEveryMs = 80;
// A new transfer waits this long for the previous one to end.
constexpr std::uint64_t kStreamIdleLimitMs = 60000;
// The name in a download header must fit the header buffer clients use.
constexpr std::size_t kMaxHeaderName = 4063;
// A compressed batch request inflates to no more than this.
constexpr std::size_t kMaxBatchRequest = 4u << 20;

wire::PacketHead head_of(Kind kind, std::uint8_t code, bool want_ack) {
    wire::PacketHead head;
    head.kind = std::uint8_t(kind);
    head.code = code;
    head.want_ack = want_ack ? wire::kWantAck : 0;
    return head;
}

// What a walk on a pool thread may ask: whether to stop, and a unit of the
// scan budget.
files::WalkControl walk_control(Engine& engine, std::shared_ptr<std::atomic<bool>> stop) {
    return {.stop_requested = [stop] { return stop->load(); },
            .take_scan_unit = [&engine, stop] { return engine.take_scan_unit(*stop); }};
}

}  // namespace

// ---- steering: applied as packets arrive ----

void Connection::steer_stream(const wire::Packet& packet) {
    const auto& head = packet.head;
    if (Kind(head.kind) == Kind::reply) {
        // The client cannot create or write what it receives.
        if (head.code == std::uint8_t(Reply::cannot_create) ||
            head.code == std::uint8_t(Reply::cannot_write)) {
            *stop_request_ = true;
            wake_stream();
        }
        return;
    }
    switch (Request(head.code)) {
        case Request::stop_transfer:
            ++stops_received_;
            *stop_request_ = true;
            wake_stream();
            upload_.abandon();
            break;
        case Request::resend_from:
            if (std::uint32_t(head.arg1) == transfer_id_) {
                chunk_index_ = std::uint64_t(std::int64_t(head.arg2));
                wake_stream();
            }
            break;
        case Request::transfer_received:
            if (std::uint32_t(head.arg1) == transfer_id_) {
                finished_ = true;
                // No later packet may match the finished transfer.
                transfer_id_ = ~transfer_id_;
                wake_stream();
            }
            break;
        default: break;
    }
}

asio::awaitable<void> Connection::handle_transfer(const wire::Packet& packet) {
    const auto kind = Kind(packet.head.kind);
    const std::uint8_t code = packet.head.code;
    if (kind == Kind::data) {
        if (code == std::uint8_t(Data::file_header)) co_await on_upload_start(packet);
        if (code == std::uint8_t(Data::file_chunk)) co_await on_upload_chunk(packet);
        co_return;
    }
    if (kind != Kind::request) co_return;  // a kind the protocol does not have
    platform::Env& env = engine_.env();
    const std::string path = wire::zstr_at(packet.payload);
    switch (Request(code)) {
        case Request::list_folder: co_await on_list_folder(packet); break;
        case Request::download_file: co_await on_download(path); break;
        case Request::download_batch: co_await on_download_batch(packet); break;
        case Request::delete_tree: co_await on_delete_tree(packet); break;
        case Request::end_of_pass: co_await on_upload_end(packet); break;
        case Request::ask_slot_dates: co_await on_slot_dates(packet); break;
        case Request::reset_slot_dates: files::reset_slot(env, user_root_, path); break;
        default: break;
    }
}

// ---- the outbound stream ----

void Connection::wake_stream() { stream_wake_.cancel(); }

asio::awaitable<bool> Connection::stream_idle() {
    const std::uint64_t deadline = engine_.now() + kStreamIdleLimitMs;
    waiting_for_stream_ = true;
    watch();
    while (stream_running_ && !closing() && engine_.now() < deadline) {
        co_await wait_signal(stream_changed_);
    }
    waiting_for_stream_ = false;
    if (stream_running_ && !closing()) close("the previous transfer never ended");
    co_return !closing();
}

void Connection::hand_over(OutboundStream stream) {
    stream_.emplace(std::move(stream));
    stream_running_ = true;
    finished_ = false;
    chunk_index_ = 0;
    spawn([this] { return send_stream(); });
}

asio::awaitable<void> Connection::sleep_until(std::uint64_t at) {
    stream_wake_at_ = at;
    watch();
    co_await wait_signal(stream_wake_);
    stream_wake_at_ = 0;
}

asio::awaitable<void> Connection::send_stream() {
    const auto self = shared_from_this();  // held by the frame itself
    OutboundStream& stream = *stream_;
    auto head = head_of(Kind::data, stream.data_code(), false);
    std::vector<std::uint8_t> payload;
    while (!closing() && !finished_ && !*stop_request_) {
        engine_.mark_transmitting();
        const auto chunk = stream.chunk(chunk_index_);
        if (chunk.empty()) {
            // Everything went out once: ask until the client says it has all
            // (121) or where to go on from (120). The first question goes
            // with the last chunk, the next every 80 ms.
            auto ask = head_of(Kind::request, std::uint8_t(Request::end_of_pass), false);
            ask.arg1 = std::int32_t(transfer_id_);
            co_await send(ask);
            co_await sleep_until(engine_.now() + kAskEveryMs);
            continue;
        }
        head.arg1 = std::int32_t(transfer_id_);
        head.arg2 = std::int32_t(chunk_index_);
        head.arg4 = 0;
        ++chunk_index_;
        std::span<const std::uint8_t> body = chunk;
        if (stream.compress() && wire::worth_compressing(chunk.size())) {
            auto packed = support::compress(chunk, support::CompressLevel::normal);
            if (packed.ok() && wire::compressed_pays(chunk.size(), packed.bytes.size())) {
                payload = std::move(packed.bytes);
                body = payload;
                head.arg4 = 1;
            }
        }
        if (!co_await send(head, body)) break;
        // Pacing: every stream of the server shares one budget.
        if (engine_.bandwidth_limit() > 0) {
            engine_.spend_bandwidth(std::int64_t(wire::kHeaderSize + body.size()));
            while (engine_.bandwidth_budget() < 0 && engine_.bandwidth_limit() > 0 && !closing() &&
                   !*stop_request_) {
                co_await sleep_until(engine_.now() + 1);
            }
        }
        while (out_bytes_ > kStreamBacklog && !closing()) co_await wait_signal(stream_changed_);
    }
    // However it ended, the stream goes: an open file is closed here.
    stream_.reset();
    stream_running_ = false;
    stream_changed_.cancel();
}

// ---- listing and tree deletion ----

asio::awaitable<void> Connection::on_list_folder(const wire::Packet& packet) {
    if (!co_await stream_idle()) co_return;
    *stop_request_ = stopped_since_queued();
    const auto control = walk_control(engine_, stop_request_);
    const std::string path = wire::zstr_at(packet.payload);
    files::Listing listing;
    const std::function<void()> walk = [&] {
        listing = files::build_listing(engine_.env(), user_root_, path, control);
    };
    co_await engine_.run_blocking(walk);
    if (closing()) co_return;

    auto head = head_of(Kind::data, std::uint8_t(Data::listing_header), true);
    head.arg1 = listing.exists ? listing.file_count : -1;
    head.arg2 = listing.exists ? std::int32_t(listing.bytes.size()) : 0;
    transfer_id_ = new_transfer_id();
    head.arg4 = std::int32_t(transfer_id_);
    co_await send(head);
    if (listing.exists && !listing.bytes.empty() && !closing()) {
        hand_over(OutboundStream::of_bytes(std::move(listing.bytes),
                                           std::uint8_t(Data::listing_chunk), true));
    }
}

asio::awaitable<void> Connection::on_delete_tree(const wire::Packet& packet) {
    // A stop still in force from before ends this walk too.
    const auto control = walk_control(engine_, stop_request_);
    const std::string path = wire::zstr_at(packet.payload);
    const std::function<void()> walk = [&] {
        files::delete_tree(engine_.env(), user_root_, path, control);
    };
    co_await engine_.run_blocking(walk);
    if (closing()) co_return;
    co_await send_reply(std::uint8_t(Reply::tree_deleted));
}

// ---- downloads ----

asio::awaitable<void> Connection::on_download(std::string_view wire_path) {
    if (!co_await stream_idle()) co_return;
    *stop_request_ = stopped_since_queued();
    auto file = wire_path.size() <= kMaxHeaderName
                    ? files::open_download(engine_.env(), user_root_, wire_path)
                    : std::nullopt;
    if (!file) {
        co_await send_reply(std::uint8_t(Reply::cannot_open));
        co_return;
    }
    auto head = head_of(Kind::data, std::uint8_t(Data::file_header), true);
    const auto size_args = wire::pack_size(file->size, file->attributes);
    head.arg1 = size_args.arg1;
    head.arg2 = size_args.arg2;
    head.arg3 = file->dos_date;
    transfer_id_ = new_transfer_id();
    head.arg4 = std::int32_t(transfer_id_);
    wire::PayloadWriter name;
    name.zstr(wire_path);
    co_await send(head, name.data());
    // An empty file is the header alone; the file closes as `file` goes.
    if (file->size > 0 && !closing()) {
        hand_over(OutboundStream::of_file(std::move(file->stream), file->size));
    }
}

asio::awaitable<void> Connection::on_download_batch(const wire::Packet& packet) {
    if (!co_await stream_idle()) co_return;
    *stop_request_ = stopped_since_queued();
    std::vector<std::uint8_t> inflated;
    std::span<const std::uint8_t> request = packet.payload;
    if (packet.head.arg4 != 0) {
        auto result = support::decompress(packet.payload, kMaxBatchRequest);
        // A request that does not inflate names nothing: the client gets an
        // empty batch rather than no answer.
        inflated = result.ok() ? std::move(result.bytes) : std::vector<std::uint8_t>{};
        request = inflated;
    }
    const auto entries = files::read_batch_request(request);
    if (entries.size() == 1) co_return co_await on_download(entries.front().wire_path);

    std::vector<std::uint8_t> batch;
    const std::function<void()> pack = [&] {
        batch = files::pack_batch(engine_.env(), user_root_, entries);
    };
    co_await engine_.run_blocking(pack);
    if (closing()) co_return;
    auto head = head_of(Kind::request, std::uint8_t(Request::batch_header), true);
    head.arg2 = 3;
    head.arg3 = std::int32_t(batch.size());
    transfer_id_ = new_transfer_id();
    head.arg4 = std::int32_t(transfer_id_);
    co_await send(head);
    if (!closing()) {
        hand_over(OutboundStream::of_bytes(std::move(batch), std::uint8_t(Data::batch_chunk), false));
    }
}

// ---- slot dates ----

asio::awaitable<void> Connection::on_slot_dates(const wire::Packet& packet) {
    const auto dates = files::slot_dates(engine_.env(), user_root_, wire::zstr_at(packet.payload));
    auto head = head_of(Kind::reply, std::uint8_t(Reply::slot_dates), false);
    head.arg1 = packet.head.arg1;
    head.arg2 = dates[0];
    head.arg3 = dates[1];
    head.arg4 = dates[2];
    co_await send(head);
}

// ---- uploads ----

asio::awaitable<void> Connection::on_upload_start(const wire::Packet& packet) {
    engine_.mark_transmitting();
    // The client stopped this upload before it could begin.
    if (stopped_since_queued()) co_return;
    const auto& h = packet.head;
    const auto result = upload_.start(engine_.env(), user_root_, wire::zstr_at(packet.payload),
                                      wire::unpack_size(h.arg1, h.arg2),
                                      wire::unpack_attributes(h.arg2), h.arg3, h.arg4);
    switch (result) {
        case files::Upload::StartResult::refused:
            co_await send_reply(std::uint8_t(Reply::cannot_create));
            break;
        case files::Upload::StartResult::complete:
            co_await send_reply(std::uint8_t(Reply::upload_complete), h.arg4);
            break;
        case files::Upload::StartResult::active: break;
    }
}

asio::awaitable<void> Connection::on_upload_chunk(const wire::Packet& packet) {
    engine_.mark_transmitting();
    const auto& h = packet.head;
    switch (upload_.chunk(h.arg1, h.arg2, packet.payload, (h.arg4 & 0xFF) != 0)) {
        case files::Upload::ChunkResult::complete:
            co_await send_reply(std::uint8_t(Reply::upload_complete), h.arg1);
            break;
        case files::Upload::ChunkResult::failed:
            co_await send_reply(std::uint8_t(Reply::cannot_write), h.arg1);
            break;
        default: break;
    }
}

asio::awaitable<void> Connection::on_upload_end(const wire::Packet& packet) {
    const std::int32_t id = packet.head.arg1;
    switch (upload_.end(id)) {
        case files::Upload::EndResult::complete:
            co_await send_reply(std::uint8_t(Reply::upload_complete), id);
            break;
        case files::Upload::EndResult::missing: co_await send_missing_list(); break;
        case files::Upload::EndResult::failed:
            co_await send_reply(std::uint8_t(Reply::cannot_write), id);
            break;
        case files::Upload::EndResult::ignored: break;
    }
}

asio::awaitable<void> Connection::send_missing_list() {
    const auto list = upload_.missing_list();
    auto head = head_of(Kind::data, std::uint8_t(Data::missing_chunks), false);
    head.arg1 = upload_.transfer_id();
    head.arg2 = list.count;
    head.arg4 = list.compressed ? 1 : 0;
    co_await send(head, list.payload);
}

}  // namespace rk::core
