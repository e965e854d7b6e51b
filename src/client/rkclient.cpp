// rkclient: one request to a save server from the command line, for people
// and scripts. Exit status: 0 done, 1 the server said no, 2 usage, 3 no
// connection.
#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "client/connection.h"
#include "wire/payload.h"

namespace {

using rk::client::Connection;

enum Exit : int { done = 0, refused = 1, usage = 2, unreachable = 3 };

struct Outcome {
    int status = done;
    std::string message;  // for a person, shown when status is not done
};

// What a command gets: the account it acts for and its own arguments in
// the order the table names them.
struct Invocation {
    std::string user;
    std::string password;
    std::vector<std::string> args;
};

struct Command {
    const char* name;
    const char* help;
    std::vector<const char*> arguments;  // positional, all required
    bool logs_on;                        // logged on before run and off after it
    Outcome (*run)(Connection&, const Invocation&);
};

const char* const kNoAnswer = "no answer from the server";

Outcome run_nothing(Connection&, const Invocation&) { return {}; }

Outcome run_create_account(Connection& link, const Invocation& call) {
    using rk::client::AccountResult;
    switch (link.create_account(call.user, call.password)) {
        case AccountResult::created:
            return {};
        case AccountResult::name_taken:
            return {refused, "account exists"};
        case AccountResult::not_allowed:
            return {refused, "creation of accounts is not allowed"};
        case AccountResult::no_answer:
            break;
    }
    return {refused, kNoAnswer};
}

Outcome run_mkdir(Connection& link, const Invocation& call) {
    if (link.make_folder(rk::client::to_wire_path(call.args[0]))) return {};
    return {refused, kNoAnswer};
}

Outcome run_rmdir(Connection& link, const Invocation& call) {
    if (link.remove_folder(rk::client::to_wire_path(call.args[0]))) return {};
    return {refused, kNoAnswer};
}

Outcome run_rm(Connection& link, const Invocation& call) {
    using rk::client::RemoveResult;
    const std::string path = rk::client::to_wire_path(call.args[0]);
    switch (link.remove_file(path)) {
        case RemoveResult::deleted:
            return {};
        case RemoveResult::failed:
            return {refused, "delete failed: " + path};
        case RemoveResult::no_answer:
            break;
    }
    return {refused, kNoAnswer};
}

const std::vector<Command>& commands() {
    static const std::vector<Command> table{
        {"logon", "check the credentials: log on, then off", {}, true, run_nothing},
        {"create-account",
         "create the account --user with the password",
         {},
         false,
         run_create_account},
        {"mkdir", "create a folder and any missing parents", {"PATH"}, true, run_mkdir},
        {"rmdir", "remove an empty folder", {"PATH"}, true, run_rmdir},
        {"rm", "delete a file", {"PATH"}, true, run_rm},
    };
    return table;
}

std::string logon_failure(const rk::client::LogonResult& result) {
    using rk::client::Logon;
    switch (result.status) {
        case Logon::accepted:
            return {};
        case Logon::bad_credentials:
            return "wrong user name or password";
        case Logon::forbidden:
            return "account is forbidden";
        case Logon::wrong_version:
            if (result.detail == 0) return "server speaks another protocol version";
            return "server speaks protocol version " + std::to_string(result.detail);
        case Logon::refused:
            return "logon refused (reason " + std::to_string(result.detail) + ")";
        case Logon::no_answer:
            break;
    }
    return kNoAnswer;
}

int say(int status, const std::string& message) {
    std::cerr << "rkclient: " << message << '\n';
    return status;
}

// The password never comes from the command line, where every user of the
// machine could read it.
std::optional<std::string> read_password(const std::string& file, std::string& problem) {
    if (!file.empty()) {
        std::ifstream in(file);
        std::string line;
        if (!in || !std::getline(in, line)) {
            problem = "cannot read the password file " + file;
            return std::nullopt;
        }
        if (!line.empty() && line.back() == '\r') line.pop_back();
        return line;
    }
    if (const char* env = std::getenv("RKCLIENT_PASSWORD")) return std::string(env);
    problem = "no password: give --password-file or set RKCLIENT_PASSWORD";
    return std::nullopt;
}

Outcome execute(const Command& command, Connection& link, const Invocation& call) {
    if (!command.logs_on) return command.run(link, call);
    const auto logon = link.logon(call.user, call.password);
    if (logon.status != rk::client::Logon::accepted) return {refused, logon_failure(logon)};
    Outcome outcome = command.run(link, call);
    if (!link.logoff() && outcome.status == done) outcome = {refused, kNoAnswer};
    return outcome;
}

int run(int argc, char** argv) {
    CLI::App app{"Talks to a save server: one command a run."};
    app.require_subcommand(1);
    app.fallthrough();
    // A wrapper script can then override what it was given by appending.
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);

    std::string host = "127.0.0.1";
    std::uint16_t port = 1202;
    std::string user;
    std::string password_file;
    double timeout_s = 10;
    app.add_option("--host", host, "server address")->capture_default_str();
    app.add_option("--port", port, "server port")
        ->capture_default_str()
        ->check(CLI::Range(1, 65535));
    app.add_option("--user", user, "account name")->required();
    app.add_option("--password-file", password_file,
                   "file whose first line is the password (else RKCLIENT_PASSWORD)");
    app.add_option("--timeout", timeout_s, "seconds to wait for each answer")
        ->capture_default_str()
        ->check(CLI::Range(0.01, 3600.0));

    const auto& table = commands();
    std::vector<std::vector<std::string>> args(table.size());
    std::vector<CLI::App*> subs;
    for (std::size_t i = 0; i < table.size(); ++i) {
        CLI::App* sub = app.add_subcommand(table[i].name, table[i].help);
        args[i].resize(table[i].arguments.size());
        for (std::size_t j = 0; j < table[i].arguments.size(); ++j) {
            sub->add_option(table[i].arguments[j], args[i][j])->required();
        }
        subs.push_back(sub);
    }

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) return app.exit(e);
        return say(usage, e.what());
    }

    std::size_t chosen = 0;
    while (!subs[chosen]->parsed()) ++chosen;
    const Command& command = table[chosen];

    Invocation call{user, {}, args[chosen]};
    std::string problem;
    const auto password = read_password(password_file, problem);
    if (!password) return say(usage, problem);
    call.password = *password;
    // The wire fields hold 127 bytes; a longer text would be cut and name
    // someone else.
    if (call.user.empty() || call.user.size() >= rk::wire::kNameFieldSize) {
        return say(usage, "the user name must have 1 to 127 bytes");
    }
    if (call.password.size() >= rk::wire::kNameFieldSize) {
        return say(usage, "the password must have at most 127 bytes");
    }

    Connection::Options options;
    const auto wait = std::chrono::milliseconds(std::int64_t(timeout_s * 1000));
    options.ack_timeout = wait;
    options.answer_timeout = wait;
    options.connect_timeout = wait;

    std::error_code ec;
    auto link = Connection::connect(host, port, ec, options);
    if (!link) {
        return say(unreachable,
                   "cannot connect to " + host + ":" + std::to_string(port) + ": " + ec.message());
    }
    const Outcome outcome = execute(command, *link, call);
    if (outcome.status != done) return say(outcome.status, outcome.message);
    return done;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {
        // Nothing here throws by design; if something does, say so in our
        // own format rather than through the runtime's abort message.
        return say(refused, e.what());
    }
}
