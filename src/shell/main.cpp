// rkserver: serves game saves to networked clients.
#include <CLI/CLI.hpp>
#include <spdlog/spdlog.h>

#include <cstdio>
#include <iostream>

#include "core/server.h"
#include "files/housekeeping.h"
#include "platform/env.h"
#include "platform/process.h"
#include "shell/exit_codes.h"
#include "shell/headless.h"
#include "shell/logging.h"

namespace {

using namespace rk;

constexpr const char* kVersion = "V2.23";

std::string choose_home(platform::Env& env, const std::string& option) {
    if (!option.empty()) return option;
    if (auto home = env.get_env("RKSERVER_HOME"); home && !home->empty()) return *home;
    return platform::executable_folder();
}

}  // namespace

int main(int argc, char** argv) {
    // Before any thread starts, so that only the main thread takes the signals.
    platform::StopSignals signals;
    platform::Env& env = platform::Env::host();

    CLI::App app{"rkserver: keeps game saves for a group of users and serves them to clients"};
    std::string home_option;
    std::optional<std::uint16_t> port;
    bool headless = false;
    std::string log_level = "info";
    app.add_option("--home", home_option, "folder holding the accounts and the users' saves");
    app.add_option("--port", port, "listen on this port for this run (0 = any free port)");
    app.add_flag("--headless", headless, "run without windows");
    app.add_option("--log-level", log_level, "trace, debug, info, warn, error or off")
        ->check([](const std::string& level) {
            return shell::valid_log_level(level) ? std::string() : "unknown log level " + level;
        });
    app.set_version_flag("--version", std::string("rkserver ") + kVersion);
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {
        return app.exit(e);  // --help and --version, on stdout
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "rkserver: %s\n", e.what());
        return shell::kExitUsage;
    }

    shell::set_up_logging(log_level, env.get_env("JOURNAL_STREAM").has_value());

    std::string home = choose_home(env, home_option);
    while (home.size() > 1 && home.back() == '/') home.pop_back();
    if (!files::make_dirs(env, home)) {
        spdlog::error("cannot use {} as the home folder", home);
        return shell::kExitFailed;
    }
    std::error_code ec;
    const auto lock = env.lock(home + "/rkserver.lock", ec);
    if (!lock) {
        spdlog::error("already running: another rkserver uses {} ({})", home, ec.message());
        return shell::kExitAlreadyRunning;
    }
    spdlog::info("starting {} with home {}", kVersion, home);

    core::Server server({.home = home, .port = port});
    return shell::run_headless(server, signals);
}
