#include "shell/control.h"

#include <asio/read.hpp>
#include <asio/read_until.hpp>
#include <asio/steady_timer.hpp>
#include <asio/streambuf.hpp>
#include <asio/write.hpp>
#include <spdlog/spdlog.h>

#include <charconv>
#include <chrono>
#include <memory>
#include <functional>
#include <sstream>

#include "platform/autostart.h"
#include "platform/env.h"
#include "platform/home_files.h"
#include "platform/host_path.h"
#include "platform/process.h"
#include "shell/exit_codes.h"

namespace rk::shell {

namespace {

using Words = std::vector<std::string>;
using asio::local::stream_protocol;

// A request is its words, each ended by NUL, then an empty word; the answer
// is the exit status on the first line and the output after it.
constexpr char kEnd = '\0';

CtlResult usage_error(const std::string& why) { return {kExitUsage, why + "\n" + ctl_usage()}; }
CtlResult failed(const std::string& why) { return {kExitFailed, why + "\n"}; }
CtlResult done(const std::string& what = {}) { return {kExitOk, what.empty() ? "" : what + "\n"}; }

std::optional<bool> on_off(const std::string& word) {
    if (word == "on") return true;
    if (word == "off") return false;
    return std::nullopt;
}

CtlResult show_status(core::Server& server) {
    const auto s = server.snapshot();
    std::ostringstream out;
    out << "service:      " << (s.listening ? "listening on port " + std::to_string(s.port) : "stopped")
        << "\nconnections:  " << s.connections
        << "\ntransmitting: " << (s.transmitting ? "yes" : "no") << "\n";
    return {kExitOk, out.str()};
}

CtlResult list_users(core::Server& server) {
    std::ostringstream out;
    for (const auto& view : server.account_list().accounts) {
        out << view.account.name << (view.account.forbidden ? "  (forbidden)" : "") << "\n";
    }
    return {kExitOk, out.str()};
}

// The outcome of an edit that was to do `what`.
CtlResult report(const core::EditResult& result, const std::string& what) {
    switch (result.status) {
        case core::EditStatus::done: return done(what);
        case core::EditStatus::not_saved: return failed(what + ", but " + result.message);
        case core::EditStatus::stale:
        case core::EditStatus::invalid_name:
        case core::EditStatus::name_taken: break;
    }
    return failed(result.message);
}

// Edits the account `name` names and saves at once: a change made from the
// command line must not wait for a window to close.
CtlResult edit_account(core::Server& server, const std::string& name,
                       const std::function<core::EditResult(const accounts::AccountStamp&)>& edit,
                       const std::string& what) {
    const auto account = server.find_account(name);
    if (!account) return failed("no such account");
    return report(edit(account->ref), what);
}

CtlResult user_command(core::Server& server, const Words& w) {
    using core::Save;
    const std::string sub = w.size() > 1 ? w[1] : "";
    if (sub == "add" && w.size() == 4) {
        return report(server.add_account(w[2], w[3], Save::now), "account " + w[2] + " added");
    }
    if (sub == "passwd" && w.size() == 4) {
        return edit_account(server, w[2], [&](const auto& ref) {
            return server.set_account_password(ref, w[3], Save::now);
        }, "password of " + w[2] + " changed");
    }
    if (sub == "rename" && w.size() == 4) {
        return edit_account(server, w[2], [&](const auto& ref) {
            return server.rename_account(ref, w[3], Save::now);
        }, "account " + w[2] + " renamed to " + w[3]);
    }
    if ((sub == "forbid" || sub == "allow") && w.size() == 3) {
        return edit_account(server, w[2], [&](const auto& ref) {
            return server.set_account_forbidden(ref, sub == "forbid", Save::now);
        }, "account " + w[2] + (sub == "forbid" ? " forbidden" : " allowed"));
    }
    if (sub == "del" && w.size() == 3) {
        const auto account = server.find_account(w[2]);
        if (!account) return failed("no such account");
        const auto removed = server.delete_account(account->ref, Save::now);
        return report(removed, "account " + w[2] + " deleted; " + std::string(accounts::describe(removed.folder)));
    }
    return usage_error("user takes: add NAME, passwd NAME, rename OLD NEW, forbid NAME, allow NAME, del NAME");
}

CtlResult purge_command(core::Server& server, const Words& w) {
    if (w.size() != 2 || (w[1] != "180" && w[1] != "90" && w[1] != "30")) {
        return usage_error("purge takes the age in days: 180, 90 or 30");
    }
    const auto result = server.purge(std::stoi(w[1]));
    std::ostringstream out;
    out << result.slots_purged << " slots purged, " << result.files_deleted << " files and "
        << result.folders_removed << " folders deleted";
    if (result.slots_unreadable > 0) out << "; " << result.slots_unreadable << " slots could not be read";
    return result.refused ? failed("purge refused") : done(out.str());
}

CtlResult convert_command(core::Server& server) {
    const auto outcome = server.convert();
    std::ostringstream out;
    out << outcome.result.containers_converted << " of " << outcome.result.containers_found
        << " old save containers converted, " << outcome.result.files_written << " files written\n";
    for (const auto& problem : outcome.result.problems) {
        out << problem.path << (problem.entry.empty() ? "" : " (" + problem.entry + ")") << ": "
            << problem.status.to_string() << "\n";
    }
    if (!outcome.result.complete()) {
        return {kExitFailed, out.str() + "the conversion is not complete: clients stay on hold\n"};
    }
    if (!outcome.finish.ok())
        return {kExitFailed, out.str() + outcome.finish.status.to_string() + "\n"};
    return {kExitOk, out.str()};
}

CtlResult autostart_command(const std::string& value) {
    const auto on = on_off(value);
    if (!on) return usage_error("autostart is on or off");
    platform::Autostart autostart(platform::Env::host());
    const auto program = platform::executable_path();
    const auto ec = *on ? autostart.enable(program) : autostart.disable();
    if (ec) return failed("the autostart entry could not be changed: " + ec.message());
    return done(*on ? "rkserver starts with the desktop session" : "rkserver no longer starts by itself");
}

CtlResult set_setting(core::Server& server, const Words& w) {
    if (w.size() != 3) return usage_error("set takes a setting and a value");
    const std::string& name = w[1];
    const std::string& value = w[2];
    core::SettingsChange change;
    if (name == "bandwidth") {
        unsigned kbps = 0;
        const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), kbps);
        if (ec != std::errc() || end != value.data() + value.size() || kbps > 9999) {
            return usage_error("bandwidth is a number of kByte/s from 0 (no limit) to 9999");
        }
        change.bandwidth = std::uint16_t(kbps);
    } else if (name == "autostart") {
        return autostart_command(value);
    } else if (name == "allow-new-users" || name == "serve-client-ini") {
        const auto on = on_off(value);
        if (!on) return usage_error(name + " is on or off");
        (name == "allow-new-users" ? change.allow_new_users : change.serve_client_ini) = *on;
    } else {
        return usage_error("unknown setting " + name);
    }
    const auto saved = server.change_settings(change, core::Save::now);
    if (!saved.ok()) {
        return failed("the setting is in force but could not be saved: " +
                      saved.status.to_string());
    }
    return done();
}

CtlResult companion_command(Companion* companion, const Words& w) {
    if (w.size() != 2) return usage_error("companion takes a process id");
    int pid = -1;
    const auto [end, error] = std::from_chars(w[1].data(), w[1].data() + w[1].size(), pid);
    if (error != std::errc() || end != w[1].data() + w[1].size() || pid < 0)
        return usage_error("not a process id: " + w[1]);
    if (companion == nullptr) return failed("this server has no tray to end a companion from");
    if (!companion->announce(pid)) return failed("no process " + w[1]);
    return done();
}

}  // namespace

bool ctl_needs_password(const Words& words) {
    return words.size() == 3 && words[0] == "user" && (words[1] == "add" || words[1] == "passwd");
}

std::string ctl_usage() {
    return "commands:\n"
           "  status                         listening port, connections, transmitting\n"
           "  users                          the accounts\n"
           "  user add NAME | user passwd NAME | user rename OLD NEW\n"
           "  user forbid NAME | user allow NAME | user del NAME\n"
           "  set bandwidth KBPS             0 (no limit) to 9999\n"
           "  set allow-new-users on|off     may clients create accounts\n"
           "  set serve-client-ini on|off    push rkClient.ini at logon\n"
           "  set autostart on|off           start with the desktop session\n"
           "  purge 180|90|30                delete slots older than that many days\n"
           "  convert                        unpack the previous version's saves\n"
           "  companion PID                  end this process when the tray's Exit is confirmed\n"
           "                                 (0 forgets it)\n"
           "passwords are asked at the terminal or read with --password-file\n";
}

CtlResult run_ctl(core::Server& server, const Words& words, Companion* companion) {
    if (words.empty()) return usage_error("no command given");
    const std::string& command = words[0];
    if (command == "status" && words.size() == 1) return show_status(server);
    if (command == "users" && words.size() == 1) return list_users(server);
    if (command == "set") return set_setting(server, words);
    if (command == "user") return user_command(server, words);
    if (command == "purge") return purge_command(server, words);
    if (command == "convert" && words.size() == 1) return convert_command(server);
    if (command == "companion") return companion_command(companion, words);
    return usage_error("unknown command: " + command);
}

std::string control_socket_path(const std::string& home) {
    return platform::join_path(home, platform::kControlSocketName);
}

std::optional<CtlResult> ask_running_server(const std::string& home, const Words& words) {
    asio::io_context io;
    stream_protocol::socket socket(io);
    std::error_code ec;
    socket.connect(stream_protocol::endpoint(control_socket_path(home)), ec);
    if (ec) return std::nullopt;
    std::string request;
    for (const auto& w : words) request.append(w).push_back(kEnd);
    request.push_back(kEnd);
    asio::write(socket, asio::buffer(request), ec);
    asio::streambuf answer;
    asio::read(socket, answer, ec);  // to the end: the server closes after answering
    std::string text(asio::buffers_begin(answer.data()), asio::buffers_end(answer.data()));
    const auto newline = text.find('\n');
    if (newline == std::string::npos) return std::nullopt;
    int status = kExitFailed;
    std::from_chars(text.data(), text.data() + newline, status);
    return CtlResult{status, text.substr(newline + 1)};
}

ControlServer::ControlServer(core::Server& server, std::string home, Companion* companion)
    : server_(server), path_(control_socket_path(home)), companion_(companion) {}

ControlServer::~ControlServer() {
    io_.stop();
    if (thread_.joinable()) thread_.join();
    std::error_code ignored;
    if (acceptor_.is_open()) {
        acceptor_.close(ignored);
        platform::Env::host().remove_file(path_);
    }
}

bool ControlServer::start() {
    std::error_code ec;
    // A socket file left by a server that died is ours to replace: the
    // instance lock is held, so no server listens on it.
    platform::Env::host().remove_file(path_);
    acceptor_.open(stream_protocol(), ec);
    if (!ec) acceptor_.bind(stream_protocol::endpoint(path_), ec);
    if (!ec && !platform::restrict_to_owner(path_)) ec = std::make_error_code(std::errc::permission_denied);
    if (!ec) acceptor_.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
        spdlog::error("control socket {} unavailable: {}", path_, ec.message());
        return false;
    }
    accept();
    thread_ = std::thread([this] { io_.run(); });
    return true;
}

void ControlServer::accept() {
    acceptor_.async_accept([this](std::error_code ec, stream_protocol::socket socket) {
        if (ec) return;
        serve(std::make_shared<stream_protocol::socket>(std::move(socket)));
        accept();
    });
}

void ControlServer::serve(std::shared_ptr<stream_protocol::socket> socket) {
    // The socket file is owner-only already; the peer check holds even if
    // someone loosens its mode.
    if (platform::peer_uid(socket->native_handle()) != platform::own_uid()) {
        spdlog::warn("control socket: refused a connection from another user");
        return;
    }
    // A caller that connects and says nothing must not hold up the others,
    // nor the server's exit.
    auto deadline = std::make_shared<asio::steady_timer>(io_, std::chrono::seconds(5));
    deadline->async_wait([socket](std::error_code ec) {
        if (!ec) socket->close(ec);
    });
    auto request = std::make_shared<asio::streambuf>(64 * 1024);
    asio::async_read_until(
        *socket, *request, std::string(2, kEnd),
        [this, socket, request, deadline](std::error_code ec, std::size_t) {
            deadline->cancel();
            if (ec) return;
            std::string text(asio::buffers_begin(request->data()), asio::buffers_end(request->data()));
            Words words;
            for (std::size_t at = 0, end; (end = text.find(kEnd, at)) != std::string::npos && end > at;
                 at = end + 1) {
                words.push_back(text.substr(at, end - at));
            }
            const CtlResult result = run_ctl(server_, words, companion_);
            std::error_code write_ec;
            asio::write(*socket, asio::buffer(std::to_string(result.status) + "\n" + result.output),
                        write_ec);
        });
}

}  // namespace rk::shell
