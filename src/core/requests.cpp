// The requests of logon and account creation and the small storage work:
// delete a file, create and remove folders.
#include <spdlog/spdlog.h>

#include "core/connection.h"
#include "core/engine.h"
#include "files/housekeeping.h"
#include "platform/wire_path.h"
#include "wire/codes.h"
#include "wire/payload.h"

namespace rk::core {

using wire::Kind;
using wire::Reply;
using wire::Request;

asio::awaitable<void> Connection::handle(const wire::Packet& packet) {
    const auto kind = Kind(packet.head.kind);
    const std::uint8_t code = packet.head.code;
    if (kind == Kind::request && code == std::uint8_t(Request::logon)) co_return co_await on_logon(packet);
    if (kind == Kind::request && code == std::uint8_t(Request::create_account)) {
        co_return co_await on_create_account(packet);
    }
    // Everything else is for a logged-on user only.
    if (state_ != ConnState::logged_on) co_return;
    if (kind != Kind::request) co_return co_await handle_transfer(packet);

    platform::Env& env = engine_.env();
    const std::string path = wire::zstr_at(packet.payload);
    switch (Request(code)) {
        case Request::logoff: co_await on_logoff(); break;
        case Request::delete_file: co_await on_delete_file(packet); break;
        case Request::remove_folder: files::remove_folder(env, user_root_, path); break;
        case Request::create_folder: files::create_folder(env, user_root_, path); break;
        case Request::mouse_input: on_mouse(packet); break;
        case Request::key_input: on_key(packet); break;
        default: co_await handle_transfer(packet); break;
    }
}

std::optional<std::string> Connection::user_folder(const std::string& name) {
    // Names in an account file written elsewhere were never checked: one
    // with a separator would share another user's folder, one naming a
    // file of the home folder would serve that file.
    if (!accounts::valid_account_name(name)) return std::nullopt;
    auto root = platform::map_wire_path(engine_.env(), engine_.home(), name);
    if (!root) return std::nullopt;
    std::error_code ec;
    const auto type = engine_.env().stat(*root, ec).type;
    if (ec) return std::nullopt;
    if (type == platform::EntryType::none || type == platform::EntryType::directory) return root;
    if (type == platform::EntryType::symlink) {
        const std::string target = engine_.env().real_path(*root, ec);
        if (!ec && engine_.env().stat(target, ec).type == platform::EntryType::directory) return root;
    }
    return std::nullopt;
}

asio::awaitable<void> Connection::on_logon(const wire::Packet& packet) {
    auto refusal = wire::LogonRefusal::bad_credentials;
    const auto creds = wire::read_credentials(packet.payload);
    if (packet.head.arg1 != wire::kProtocolVersion) {
        co_await send_reply(std::uint8_t(Reply::wrong_version), wire::kProtocolVersion);
        refusal = wire::LogonRefusal::wrong_version;
    } else if (const auto index = engine_.accounts().find_user_pass(creds.name, creds.password)) {
        if (engine_.accounts().accounts()[*index].forbidden) {
            refusal = wire::LogonRefusal::forbidden;
        } else if (auto root = user_folder(creds.name)) {
            state_ = ConnState::logged_on;
            user_name_ = creds.name;
            user_root_ = *root;
            spdlog::info("connection {}: {} logged on", id_, creds.name);
            co_await send_reply(std::uint8_t(Reply::logon_accepted),
                                engine_.accounts().settings().bandwidth);
            auto& config = engine_.client_config();
            if (config.should_push(engine_.accounts().settings())) {
                wire::PacketHead head;
                head.kind = std::uint8_t(Kind::data);
                head.code = std::uint8_t(wire::Data::client_config);
                co_await send(head, config.payload());
            }
            co_return;
        } else {
            spdlog::error("account {:?} cannot log on: its name is no folder of the home folder",
                          creds.name);
        }
    }
    // A logon that fails while already logged on leaves the first in force.
    if (state_ != ConnState::connected) co_return;
    spdlog::info("connection {}: logon as {:?} refused ({})", id_, creds.name,
                 refusal == wire::LogonRefusal::wrong_version ? "wrong version"
                 : refusal == wire::LogonRefusal::forbidden   ? "forbidden"
                                                              : "unknown user or wrong password");
    co_await send_reply(std::uint8_t(Reply::logon_refused), std::int32_t(refusal));
    if (refusal == wire::LogonRefusal::wrong_version) close("wrong protocol version");
}

asio::awaitable<void> Connection::on_logoff() {
    state_ = ConnState::connected;
    // Nothing could steer or stop a transfer of a user who has left.
    *stop_request_ = true;
    wake_stream();
    upload_.abandon();
    spdlog::info("connection {}: {} logged off", id_, user_name_);
    co_await send_reply(std::uint8_t(Reply::logged_off));
}

asio::awaitable<void> Connection::on_create_account(const wire::Packet& packet) {
    const auto creds = wire::read_credentials(packet.payload);
    auto& accounts = engine_.accounts();
    Reply reply = Reply::accounts_closed;
    if (accounts.settings().allow_new_users) {
        // Answered once the account is on disk; the write runs on the pool.
        const auto result = co_await engine_.saver().create_client_user(creds.name, creds.password);
        switch (result.outcome) {
            case accounts::CreateOutcome::created:
                spdlog::info("connection {}: account {:?} created", id_, creds.name);
                reply = Reply::account_created;
                break;
            case accounts::CreateOutcome::name_taken:
            case accounts::CreateOutcome::invalid_name:
                reply = Reply::name_taken;
                break;
            case accounts::CreateOutcome::save_failed:
                // Not created; the client is told no, never that it worked.
                spdlog::error("account {:?} not created: {}", creds.name, result.error);
                break;
        }
    }
    co_await send_reply(std::uint8_t(reply));
}

void Connection::on_mouse(const wire::Packet& packet) {
    auto* input = engine_.input();
    if (!input) return;
    // x at 0, y at 4, the wheel amount at 16; what a short payload lacks is 0.
    wire::PayloadReader reader(packet.payload);
    const std::int32_t x = reader.i32().value_or(0);
    const std::int32_t y = reader.i32().value_or(0);
    reader.i32();
    reader.i32();
    const std::int32_t wheel = reader.i32().value_or(0);
    input->mouse(packet.head.arg1, x, y, wheel);
}

void Connection::on_key(const wire::Packet& packet) {
    if (auto* input = engine_.input()) input->key(platform::key_stroke(packet.head.arg1, packet.head.arg2));
}

asio::awaitable<void> Connection::on_delete_file(const wire::Packet& packet) {
    const bool deleted =
        files::delete_file(engine_.env(), user_root_, wire::zstr_at(packet.payload));
    co_await send_reply(std::uint8_t(deleted ? Reply::file_deleted : Reply::delete_failed));
}

}  // namespace rk::core
