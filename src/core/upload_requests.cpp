// An upload coming in: its start (206), its chunks (208), and the client's
// word that it has sent everything once (122), answered with the list of
// chunks still missing (213) until the file is whole (159). The upload's
// state is files::Upload's.
#include "core/engine.h"
#include "core/session.h"
#include "wire/codes.h"
#include "wire/compression.h"
#include "wire/file_header.h"
#include "wire/payload.h"

namespace rk::core {

namespace {

using wire::Reply;

}  // namespace

asio::awaitable<void> Session::on_upload_start(const wire::Packet& packet) {
    engine_.mark_transmitting();
    // The client stopped this upload before it could begin.
    if (stopped_since_queued()) co_return;
    const auto header = wire::FileHeader::decode(packet);
    const auto result = upload_.start(engine_.env(), user_root_, header.name, header.size,
                                      header.attributes, header.dos_date, header.transfer_id);
    switch (result) {
        case files::Upload::StartResult::refused:
            co_await answer_failure(FailedStep::upload_start, header.name, upload_.last_failure());
            break;
        case files::Upload::StartResult::complete:
            co_await link_.send_reply(Reply::upload_complete, header.transfer_id);
            break;
        case files::Upload::StartResult::active:
            break;
    }
}

asio::awaitable<void> Session::on_upload_chunk(const wire::Packet& packet) {
    engine_.mark_transmitting();
    const auto& h = packet.head;
    switch (upload_.chunk(h.arg1, h.arg2, packet.payload, wire::low_byte_flag(h.arg4))) {
        case files::Upload::ChunkResult::complete:
            co_await link_.send_reply(Reply::upload_complete, h.arg1);
            break;
        case files::Upload::ChunkResult::failed:
            co_await answer_failure(FailedStep::upload_chunk, upload_.wire_path(),
                                    upload_.last_failure(), h.arg1);
            break;
        default:
            break;
    }
}

asio::awaitable<void> Session::on_upload_end(const wire::Packet& packet) {
    const std::int32_t id = packet.head.arg1;
    switch (upload_.end(id)) {
        case files::Upload::EndResult::complete:
            co_await link_.send_reply(Reply::upload_complete, id);
            break;
        case files::Upload::EndResult::missing: {
            const auto list = upload_.missing_list();
            wire::PacketHead head;
            head.kind = std::uint8_t(wire::Kind::data);
            head.code = wire::code_of(wire::Data::missing_chunks);
            head.arg1 = upload_.transfer_id();
            head.arg2 = list.count;
            head.arg4 = list.compressed ? 1 : 0;
            co_await link_.send(head, list.payload);
            break;
        }
        case files::Upload::EndResult::failed:
            co_await answer_failure(FailedStep::upload_end, upload_.wire_path(),
                                    upload_.last_failure(), id);
            break;
        case files::Upload::EndResult::ignored:
            break;
    }
}

}  // namespace rk::core
