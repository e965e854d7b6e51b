// The storage work of a logged-on client that streams nothing: delete a file
// (109), remove (112) and create (113) folders, delete a tree (131), read
// (130) and renew (129) a game folder's slot dates.
#include <functional>

#include "core/engine.h"
#include "core/session.h"
#include "files/housekeeping.h"
#include "files/slot_dates.h"
#include "files/tree_delete.h"
#include "wire/codes.h"
#include "wire/payload.h"

namespace rk::core {

using wire::Reply;

asio::awaitable<void> Session::on_delete_file(const wire::Packet& packet) {
    const std::string path = wire::zstr_at(packet.payload);
    const auto status = files::delete_file(engine_.env(), user_root_, path);
    if (!status.ok()) co_return co_await answer_failure(FailedStep::delete_file, path, status);
    co_await link_.send_reply(Reply::file_deleted);
}

// Folder requests have no answer.
asio::awaitable<void> Session::on_remove_folder(const wire::Packet& packet) {
    const std::string path = wire::zstr_at(packet.payload);
    const auto status = files::remove_folder(engine_.env(), user_root_, path);
    if (!status.ok()) co_await answer_failure(FailedStep::remove_folder, path, status);
}

asio::awaitable<void> Session::on_create_folder(const wire::Packet& packet) {
    const std::string path = wire::zstr_at(packet.payload);
    const auto status = files::create_folder(engine_.env(), user_root_, path);
    if (!status.ok()) co_await answer_failure(FailedStep::create_folder, path, status);
}

asio::awaitable<void> Session::on_delete_tree(const wire::Packet& packet) {
    // A stop still in force from before ends this walk too.
    const auto control = engine_.walk_control(stop_request_);
    const std::string path = wire::zstr_at(packet.payload);
    platform::IoStatus status;
    const std::function<void()> walk = [&] {
        status = files::delete_tree(engine_.env(), user_root_, path, control);
    };
    co_await engine_.run_blocking(walk);
    if (link_.closed()) co_return;
    // Answered all the same: nothing was there to delete.
    if (!status.ok()) co_await answer_failure(FailedStep::delete_tree, path, status);
    co_await link_.send_reply(Reply::tree_deleted);
}

asio::awaitable<void> Session::on_ask_slot_dates(const wire::Packet& packet) {
    const auto dates = files::slot_dates(engine_.env(), user_root_, wire::zstr_at(packet.payload));
    auto head = wire::packet_head(Reply::slot_dates, false);
    head.arg1 = packet.head.arg1;
    head.arg2 = dates[0];
    head.arg3 = dates[1];
    head.arg4 = dates[2];
    co_await link_.send(head);
}

// No answer either.
asio::awaitable<void> Session::on_reset_slot_dates(const wire::Packet& packet) {
    const std::string path = wire::zstr_at(packet.payload);
    const auto status = files::reset_slot(engine_.env(), user_root_, path);
    if (!status.ok()) co_await answer_failure(FailedStep::reset_slot, path, status);
}

}  // namespace rk::core
