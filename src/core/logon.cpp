// Logon (101), logoff (102) and account creation by a client (128).
#include <spdlog/spdlog.h>

#include <functional>
#include <optional>

#include "accounts/account_file.h"
#include "core/engine.h"
#include "core/session.h"
#include "platform/names.h"
#include "platform/stat_following.h"
#include "platform/wire_path.h"
#include "wire/client_config_push.h"
#include "wire/codes.h"
#include "wire/payload.h"

namespace rk::core {

using wire::Reply;

namespace {

// Why a client may not create an account of this name although no account
// has it, and the answer it gets; nullopt when it may. A folder left without
// an account (an older version, a hand edit, a deletion that could not
// finish) holds someone's saves, and a new account of that name, in any
// letter case, would be given them. A leading '-' would read as an option
// to every command an operator types.
struct Refusal {
    Reply reply;
    std::string why;
};
std::optional<Refusal> refused_new_name(platform::Env& env, const std::string& home,
                                        std::string_view asked) {
    // The name as it will be stored.
    const std::string name(asked.substr(0, accounts::kFieldTextMax));
    if (!accounts::valid_account_name(name)) return std::nullopt;  // the store refuses it
    if (name.front() == '-') return Refusal{Reply::name_taken, "it begins with '-'"};
    const platform::EntryLookup found = platform::find_entry_ignoring_case(env, home, name);
    // Not knowing is a failure, as a failed save is: nothing is created.
    if (found.stat_error) {
        return Refusal{Reply::accounts_closed,
                       "cannot tell whether " + name + " is in use: " + found.stat_error.message()};
    }
    if (found.entry)
        return Refusal{Reply::name_taken, "the home already holds " + found.entry->name};
    return std::nullopt;
}

}  // namespace

std::optional<std::string> Session::user_folder(const std::string& name) {
    // Names in an account file written elsewhere were never checked: one
    // with a separator would share another user's folder, one naming a
    // file of the home folder would serve that file.
    if (!accounts::valid_account_name(name)) return std::nullopt;
    auto root = platform::map_wire_path(engine_.env(), engine_.home(), name);
    if (!root) return std::nullopt;
    // A folder that is not there yet comes with the first upload.
    std::error_code ec;
    const auto type = platform::stat_following(engine_.env(), *root, ec).type;
    if (ec) return std::nullopt;
    if (type == platform::EntryType::none || type == platform::EntryType::directory) return root;
    return std::nullopt;
}

asio::awaitable<void> Session::on_logon(const wire::Packet& packet) {
    auto refusal = wire::LogonRefusal::bad_credentials;
    const auto creds = wire::read_credentials(packet.payload);
    if (packet.head.arg1 != wire::kProtocolVersion) {
        co_await link_.send_reply(Reply::wrong_version, wire::kProtocolVersion);
        refusal = wire::LogonRefusal::wrong_version;
    } else if (const auto index = engine_.accounts().find_user_pass(creds.name, creds.password)) {
        if (engine_.accounts().accounts()[*index].forbidden) {
            refusal = wire::LogonRefusal::forbidden;
        } else if (auto root = user_folder(creds.name)) {
            logged_on_ = true;
            user_name_ = creds.name;
            user_root_ = *root;
            spdlog::info("connection {}: {} logged on", id(), creds.name);
            co_await link_.send_reply(Reply::logon_accepted,
                                      engine_.accounts().settings().bandwidth);
            auto& config = engine_.client_config();
            if (config.should_push(engine_.accounts().settings())) {
                co_await link_.send(wire::client_config_push_head(), config.payload());
            }
            co_return;
        } else {
            spdlog::error("account {:?} cannot log on: its name is no folder of the home folder",
                          creds.name);
        }
    }
    // A logon that fails while already logged on leaves the first in force.
    if (logged_on_ || link_.closed()) co_return;
    spdlog::info("connection {}: logon as {:?} refused ({})", id(), creds.name,
                 refusal == wire::LogonRefusal::wrong_version ? "wrong version"
                 : refusal == wire::LogonRefusal::forbidden   ? "forbidden"
                                                              : "unknown user or wrong password");
    co_await link_.send_reply(Reply::logon_refused, std::int32_t(refusal));
    if (refusal == wire::LogonRefusal::wrong_version) close("wrong protocol version");
}

asio::awaitable<void> Session::on_logoff(const wire::Packet&) {
    logged_on_ = false;
    // Nothing could steer or stop a transfer of a user who has left.
    request_stop();
    upload_.abandon();
    spdlog::info("connection {}: {} logged off", id(), user_name_);
    co_await link_.send_reply(Reply::logged_off);
}

asio::awaitable<void> Session::on_create_account(const wire::Packet& packet) {
    const auto creds = wire::read_credentials(packet.payload);
    if (!engine_.accounts().settings().allow_new_users) {
        co_await link_.send_reply(Reply::accounts_closed);
        co_return;
    }
    // The check may list the home folder: disk work, done on the pool.
    std::optional<Refusal> refused;
    const std::function<void()> check = [&] {
        refused = refused_new_name(engine_.env(), engine_.home(), creds.name);
    };
    co_await engine_.run_blocking(check);
    if (refused) {
        const auto level =
            refused->reply == Reply::name_taken ? spdlog::level::warn : spdlog::level::err;
        spdlog::log(level, "connection {}: account {:?} not created: {}", id(), creds.name,
                    refused->why);
        co_await link_.send_reply(refused->reply);
        co_return;
    }
    Reply reply = Reply::accounts_closed;
    // Answered once the account is on disk; the write runs on the pool.
    const auto result = co_await engine_.saver().create_client_user(creds.name, creds.password);
    switch (result.outcome) {
        case accounts::CreateOutcome::created:
            spdlog::info("connection {}: account {:?} created", id(), creds.name);
            reply = Reply::account_created;
            break;
        case accounts::CreateOutcome::name_taken:
        case accounts::CreateOutcome::invalid_name:
            reply = Reply::name_taken;
            break;
        case accounts::CreateOutcome::save_failed:
            // Not created; the client is told no, never that it worked.
            spdlog::error("connection {}: account {:?} not created: {}", id(), creds.name,
                          result.status.to_string());
            break;
    }
    co_await link_.send_reply(reply);
}

}  // namespace rk::core
