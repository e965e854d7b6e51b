#include "shell/headless.h"

#include <spdlog/spdlog.h>

#include <csignal>
#include <cstdio>

#include "shell/control.h"
#include "shell/exit_codes.h"

namespace rk::shell {

void open_and_report(core::Server& server) {
    const auto report = server.open();
    if (report.message.empty()) return;
    if (report.status == accounts::LoadStatus::damaged ||
        report.status == accounts::LoadStatus::unreadable) {
        spdlog::error("{}", report.message);
    } else {
        spdlog::info("{}", report.message);
    }
}

void announce_listening(core::Server& server) {
    const auto endpoint = server.endpoint();
    if (!endpoint) return;
    std::printf("rkserver listening on %s:%u\n", endpoint->address().to_string().c_str(),
                unsigned(endpoint->port()));
    std::fflush(stdout);
    spdlog::info("listening on {}:{}", endpoint->address().to_string(), endpoint->port());
}

int shut_down_and_report(core::Server& server) {
    const auto saved = server.shut_down();
    if (!saved.ok()) {
        spdlog::error("the account file could not be saved: {}", saved.status.to_string());
        return kExitFailed;
    }
    spdlog::info("stopped");
    return kExitOk;
}

int run_headless(core::Server& server, const std::string& home, platform::StopSignals& stop_signals) {
    open_and_report(server);
    if (server.start_service()) {
        // The message says why; a server that cannot listen has nothing to do.
        server.shut_down();
        return kExitFailed;
    }
    announce_listening(server);
    int signal = 0;
    {
        ControlServer control(server, home);
        control.start();  // without it the server still serves; ctl then cannot reach it
        signal = stop_signals.wait();
        server.stop_jobs();  // a purge run through ctl ends before the control thread does
    }
    spdlog::info("stopping on {}", signal == SIGINT ? "SIGINT" : "SIGTERM");
    return shut_down_and_report(server);
}

}  // namespace rk::shell
