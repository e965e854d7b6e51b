// The requests that start an outbound transfer: a folder listing (105), a
// file (107) and a batch of small files (124); and the packets that steer the
// running transfer as they arrive: stop (111), send again from (120), all
// received (121), and the client's refusals (160, 165).
#include <functional>

#include "core/engine.h"
#include "core/session.h"
#include "files/batch.h"
#include "files/download.h"
#include "files/listing.h"
#include "wire/batch.h"
#include "wire/codes.h"
#include "wire/file_header.h"
#include "wire/listing.h"
#include "wire/payload.h"

namespace rk::core {

namespace {

using wire::Data;
using wire::Reply;

// A new transfer waits this long for the previous one to end.
constexpr std::uint64_t kOutboundIdleLimitMs = 60000;

}  // namespace

// ---- steering ----

void Session::on_stop_transfer(const wire::Packet&) {
    ++stops_received_;
    request_stop();
    upload_.abandon();
}

void Session::on_resend_from(const wire::Packet& packet) {
    if (outbound_) outbound_->resend_from(std::uint32_t(packet.head.arg1), packet.head.arg2);
}

void Session::on_transfer_received(const wire::Packet& packet) {
    if (outbound_) outbound_->received(std::uint32_t(packet.head.arg1));
}

void Session::on_client_refused(const wire::Packet&) { request_stop(); }

// ---- the outbound transfer ----

asio::awaitable<bool> Session::outbound_idle() {
    ServerClock& clock = engine_.clock();
    const std::uint64_t deadline = clock.now() + kOutboundIdleLimitMs;
    while (outbound_ && !link_.closed() && clock.now() < deadline) {
        co_await clock.until(deadline, outbound_ended_);
    }
    if (outbound_ && !link_.closed()) close("the previous transfer never ended");
    co_return !link_.closed();
}

void Session::start_outbound(std::uint32_t id, ChunkSource source) {
    outbound_ =
        std::make_unique<OutboundTransfer>(engine_, link_, id, std::move(source), stop_request_);
    link_.spawn(shared_from_this(), [this] { return run_outbound(); });
}

asio::awaitable<void> Session::run_outbound() {
    co_await outbound_->run();
    // However it ended, the transfer goes: an open file is closed here.
    outbound_.reset();
    outbound_ended_.notify();
}

// ---- listing ----

asio::awaitable<void> Session::on_list_folder(const wire::Packet& packet) {
    if (!co_await outbound_idle()) co_return;
    *stop_request_ = stopped_since_queued();
    const auto control = engine_.walk_control(stop_request_);
    const std::string path = wire::zstr_at(packet.payload);
    files::Listing listing;
    const std::function<void()> walk = [&] {
        listing = files::build_listing(engine_.env(), user_root_, path, control);
    };
    co_await engine_.run_blocking(walk);
    if (link_.closed()) co_return;
    // Answered all the same, as a listing of nothing.
    if (!listing.exists()) co_await answer_failure(FailedStep::list_folder, path, listing.status);

    const std::uint32_t id = new_transfer_id();
    const wire::Packet header =
        wire::ListingHeader{.file_count = listing.exists() ? listing.file_count : -1,
                            .size = listing.exists() ? std::int32_t(listing.bytes.size()) : 0,
                            .transfer_id = std::int32_t(id)}
            .encode();
    co_await link_.send(header.head, header.payload);
    if (listing.exists() && !listing.bytes.empty() && !link_.closed()) {
        start_outbound(id, ChunkSource::of_bytes(std::move(listing.bytes),
                                                 wire::code_of(Data::listing_chunk), true));
    }
}

// ---- downloads ----

asio::awaitable<void> Session::on_download_file(const wire::Packet& packet) {
    if (!co_await outbound_idle()) co_return;
    *stop_request_ = stopped_since_queued();
    // Named, not a temporary: g++ 12 mishandles temporaries that live
    // across a co_await.
    const std::string path = wire::zstr_at(packet.payload);
    co_await download(path);
}

asio::awaitable<void> Session::download(std::string_view wire_path) {
    auto file = wire_path.size() <= wire::kMaxFileHeaderName
                    ? files::open_download(engine_.env(), user_root_, wire_path)
                    : files::DownloadFile{.status = {platform::IoStatus::Code::refused_path,
                                                     "longer than a file header holds"}};
    if (!file.status.ok())
        co_return co_await answer_failure(FailedStep::download, wire_path, file.status);
    const std::uint32_t id = new_transfer_id();
    const wire::Packet header = wire::FileHeader{.size = file.size,
                                                 .attributes = file.attributes,
                                                 .dos_date = file.dos_date,
                                                 .transfer_id = std::int32_t(id),
                                                 .name = std::string(wire_path)}
                                    .encode();
    co_await link_.send(header.head, header.payload);
    // An empty file is the header alone; the file closes as `file` goes.
    if (file.size > 0 && !link_.closed()) {
        start_outbound(id, ChunkSource::of_file(std::move(file.stream), file.size));
    }
}

asio::awaitable<void> Session::on_download_batch(const wire::Packet& packet) {
    if (!co_await outbound_idle()) co_return;
    *stop_request_ = stopped_since_queued();
    // A request that does not inflate names nothing: the client gets an
    // empty batch rather than no answer.
    const auto entries = wire::BatchRequest::decode(packet).value.names;
    if (entries.size() == 1) co_return co_await download(entries.front().wire_path);

    std::vector<std::uint8_t> batch;
    const std::function<void()> pack = [&] {
        batch = files::pack_batch(engine_.env(), user_root_, entries);
    };
    co_await engine_.run_blocking(pack);
    if (link_.closed()) co_return;
    const std::uint32_t id = new_transfer_id();
    const wire::Packet header =
        wire::BatchHeader{.size = std::int32_t(batch.size()), .transfer_id = std::int32_t(id)}
            .encode();
    co_await link_.send(header.head, header.payload);
    if (!link_.closed()) {
        start_outbound(
            id, ChunkSource::of_bytes(std::move(batch), wire::code_of(Data::batch_chunk), false));
    }
}

}  // namespace rk::core
