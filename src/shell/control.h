// `rkserver ctl`: the operator's commands for a server without windows. A
// running server takes them over a local socket in its home folder that
// only its own user may use; a stopped one is changed on disk directly.
#pragma once

#include <asio/io_context.hpp>
#include <asio/local/stream_protocol.hpp>

#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/server.h"
#include "shell/companion.h"

namespace rk::shell {

struct CtlResult {
    int status = 0;  // the exit status of `rkserver ctl`
    std::string output;
};

// Whether the command asks for a password; it then comes as the last word.
bool ctl_needs_password(const std::vector<std::string>& words);

// Carries out one command, given as the words typed after "ctl". Safe to
// call from any thread but the server's own. `companion` takes the
// announcements of a companion program; without one they are refused.
CtlResult run_ctl(core::Server& server, const std::vector<std::string>& words,
                  Companion* companion = nullptr);

// What `rkserver ctl --help` shows.
std::string ctl_usage();

std::string control_socket_path(const std::string& home);

// Sends a command to the server running on `home`; nullopt when none
// answers there.
std::optional<CtlResult> ask_running_server(const std::string& home,
                                            const std::vector<std::string>& words);

// Serves ctl commands for a running server on its own thread.
class ControlServer {
public:
    ControlServer(core::Server& server, std::string home, Companion* companion = nullptr);
    ~ControlServer();
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    // Creates the socket; false (with the reason logged) when it cannot.
    bool start();

private:
    void accept();
    void serve(std::shared_ptr<asio::local::stream_protocol::socket> socket);

    core::Server& server_;
    const std::string path_;
    Companion* companion_;
    asio::io_context io_;
    asio::local::stream_protocol::acceptor acceptor_{io_};
    std::thread thread_;
};

}  // namespace rk::shell
