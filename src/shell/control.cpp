#include "shell/control.h"

#include <asio/read.hpp>
#include <asio/read_until.hpp>
#include <asio/streambuf.hpp>
#include <asio/write.hpp>
#include <spdlog/spdlog.h>

#include <charconv>
#include <sstream>

#include "platform/env.h"
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
    return server.call([&] {
        std::ostringstream out;
        for (const auto& account : server.accounts().accounts()) {
            out << account.name << (account.forbidden ? "  (forbidden)" : "") << "\n";
        }
        return CtlResult{kExitOk, out.str()};
    });
}

CtlResult set_setting(core::Server& server, const Words& w) {
    if (w.size() != 3) return usage_error("set takes a setting and a value");
    const std::string& name = w[1];
    const std::string& value = w[2];
    if (name == "bandwidth") {
        unsigned kbps = 0;
        const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), kbps);
        if (ec != std::errc() || end != value.data() + value.size() || kbps > 9999) {
            return usage_error("bandwidth is a number of kByte/s from 0 (no limit) to 9999");
        }
        server.call([&] { server.accounts().set_bandwidth(std::uint16_t(kbps)); });
    } else if (name == "allow-new-users" || name == "serve-client-ini") {
        const auto on = on_off(value);
        if (!on) return usage_error(name + " is on or off");
        server.call([&] {
            if (name == "allow-new-users") {
                server.accounts().set_allow_new_users(*on);
            } else {
                server.accounts().set_serve_client_ini(*on);
            }
        });
    } else {
        return usage_error("unknown setting " + name);
    }
    const auto saved = server.call([&] { return server.accounts().save(); });
    if (!saved.ok()) return failed("the setting is in force but could not be saved: " + saved.error);
    return done();
}

}  // namespace

bool ctl_needs_password(const Words& words) {
    return words.size() == 3 && words[0] == "user" && (words[1] == "add" || words[1] == "passwd");
}

std::string ctl_usage() {
    return "commands:\n"
           "  status\n"
           "  users\n"
           "  set bandwidth KBPS | set allow-new-users on|off | set serve-client-ini on|off\n";
}

CtlResult run_ctl(core::Server& server, const Words& words) {
    if (words.empty()) return usage_error("no command given");
    const std::string& command = words[0];
    if (command == "status" && words.size() == 1) return show_status(server);
    if (command == "users" && words.size() == 1) return list_users(server);
    if (command == "set") return set_setting(server, words);
    return usage_error("unknown command: " + command);
}

std::string control_socket_path(const std::string& home) { return home + "/rkserver.sock"; }

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

ControlServer::ControlServer(core::Server& server, std::string home)
    : server_(server), path_(control_socket_path(home)) {}

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
        // The socket file is owner-only already; the peer check holds even
        // if someone loosens its mode.
        if (platform::peer_uid(socket.native_handle()) != platform::own_uid()) {
            spdlog::warn("control socket: refused a connection from another user");
        } else {
            asio::streambuf request;
            std::error_code read_ec;
            asio::read_until(socket, request, std::string(2, kEnd), read_ec);
            std::string text(asio::buffers_begin(request.data()), asio::buffers_end(request.data()));
            Words words;
            for (std::size_t at = 0, end; (end = text.find(kEnd, at)) != std::string::npos && end > at;
                 at = end + 1) {
                words.push_back(text.substr(at, end - at));
            }
            const CtlResult result =
                read_ec ? usage_error("incomplete request") : run_ctl(server_, words);
            std::error_code write_ec;
            asio::write(socket, asio::buffer(std::to_string(result.status) + "\n" + result.output),
                        write_ec);
        }
        accept();
    });
}

}  // namespace rk::shell
