// rkserver: serves game saves to networked clients.
#include <CLI/CLI.hpp>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <cstdio>
#include <iostream>

#include "core/server.h"
#include "platform/env.h"
#include "platform/folders.h"
#include "platform/home_files.h"
#include "platform/host_path.h"
#include "platform/process.h"
#include "platform/small_file.h"
#include "shell/control.h"
#include "shell/exit_codes.h"
#include "shell/gui.h"
#include "shell/headless.h"
#include "shell/logging.h"
#include "shell/version.h"

namespace {

using namespace rk;

std::string choose_home(platform::Env& env, const std::string& option) {
    std::string home = option;
    if (home.empty()) home = env.get_env("RKSERVER_HOME").value_or("");
    if (home.empty()) home = platform::executable_folder();
    return platform::without_trailing_slashes(std::move(home));
}

// The password a ctl command needs: the first line of the file, else asked
// at the terminal. Never taken from the command line.
std::optional<std::string> ctl_password(platform::Env& env, const std::string& file) {
    if (file.empty()) return platform::read_secret("password: ");
    // Far more than any password; a larger file is no password file.
    constexpr std::size_t kMaxPasswordFileBytes = 64 * 1024;
    const platform::SmallFile read = platform::read_small_file(env, file, kMaxPasswordFileBytes);
    if (read.error || read.too_large || read.content.empty()) return std::nullopt;
    std::string line = read.content.substr(0, read.content.find('\n'));
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

int run_ctl_command(platform::Env& env, const std::string& home, std::vector<std::string> words,
                    const std::string& password_file) {
    if (std::any_of(words.begin(), words.end(), [](const auto& w) { return w.empty(); })) {
        std::fprintf(stderr, "rkserver: ctl takes no empty arguments\n");
        return shell::kExitUsage;
    }
    if (shell::ctl_needs_password(words)) {
        const auto password = ctl_password(env, password_file);
        if (!password) {
            std::fprintf(stderr, "rkserver: no password: give --password-file or run at a terminal\n");
            return shell::kExitUsage;
        }
        if (password->empty()) {
            std::fprintf(stderr, "rkserver: an empty password is not accepted\n");
            return shell::kExitUsage;
        }
        words.push_back(*password);
    }
    auto result = shell::ask_running_server(home, words);
    if (!result) {
        // No server answers: change the files directly, holding the lock so
        // that no server starts meanwhile.
        std::error_code ec;
        const auto lock = env.lock(platform::join_path(home, platform::kInstanceLockName), ec);
        if (!lock) {
            std::fprintf(stderr, "rkserver: a server runs on %s but its control socket does not answer\n",
                         home.c_str());
            return shell::kExitFailed;
        }
        core::ServerOptions options;
        options.home = home;
        core::Server server(options);
        const auto report = server.open();
        if (!report.message.empty()) std::fprintf(stderr, "rkserver: %s\n", report.message.c_str());
        result = shell::run_ctl(server, words);
        const auto saved = server.shut_down();
        if (!saved.ok() && result->status == shell::kExitOk) {
            result = shell::CtlResult{shell::kExitFailed,
                                      "could not save: " + saved.status.to_string() + "\n"};
        }
    }
    std::fputs(result->output.c_str(), result->status == shell::kExitOk ? stdout : stderr);
    return result->status;
}

}  // namespace

int main(int argc, char** argv) {
    platform::Env& env = platform::Env::host();

    CLI::App app{"rkserver: keeps game saves for a group of users and serves them to clients"};
    std::string home_option;
    std::optional<std::uint16_t> port;
    bool headless = false;
    std::string log_level = "info";
    app.add_option("--home", home_option, "folder holding the accounts and the users' saves");
    app.add_option("--port", port, "listen on this port for this run (0 = any free port)");
    app.add_flag("--headless", headless, "run without windows even when a display is there");
    app.add_option("--log-level", log_level, "trace, debug, info, warn, error or off")
        ->check([](const std::string& level) {
            return shell::valid_log_level(level) ? std::string() : "unknown log level " + level;
        });
    app.set_version_flag("--version", std::string("rkserver ") + shell::kVersionText);
    std::vector<std::string> ctl_words;
    std::string password_file;
    auto* ctl = app.add_subcommand("ctl", "change a server's accounts and settings without windows");
    ctl->add_option("command", ctl_words, "the command and its arguments")->required();
    ctl->add_option("--password-file", password_file, "read the password from this file");
    ctl->footer(shell::ctl_usage());
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {
        return app.exit(e);  // --help and --version, on stdout
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "rkserver: %s\n", e.what());
        return shell::kExitUsage;
    }

    shell::set_up_logging(log_level, env.get_env("JOURNAL_STREAM").has_value());

    const std::string home = choose_home(env, home_option);
    if (ctl->parsed()) return run_ctl_command(env, home, ctl_words, password_file);
    if (platform::make_folders(env, home)) {
        spdlog::error("cannot use {} as the home folder", home);
        return shell::kExitFailed;
    }
    std::error_code ec;
    const auto lock = env.lock(platform::join_path(home, platform::kInstanceLockName), ec);
    if (!lock) {
        spdlog::error("already running: another rkserver uses {} ({})", home, ec.message());
        return shell::kExitAlreadyRunning;
    }
    spdlog::info("starting {} with home {}", shell::kVersionText, home);
    // Before the server starts its threads, so that only this one takes the
    // stop signals.
    platform::StopSignals signals;

    core::Server server({.home = home, .port = port});
    if (shell::windows_possible(headless)) return shell::run_gui(server, home, signals, argc, argv);
    return shell::run_headless(server, home, signals);
}
