// rkclient: one request to a save server from the command line, for people
// and scripts. Exit status: 0 done, 1 the server said no, 2 usage, 3 no
// connection.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "client/connection.h"
#include "client/transfers.h"
#include "wire/payload.h"

namespace {

using rk::client::Connection;

enum Exit : int { done = 0, refused = 1, usage = 2, unreachable = 3 };

struct Outcome {
    int status = done;
    std::string message;  // for a person, shown when status is not done
};

// What a command gets: the account it acts for and its own arguments in
// the order the table names them (an optional one that was not given is
// absent; a repeated one contributes all its values).
struct Invocation {
    std::string user;
    std::string password;
    std::vector<std::string> args;
    bool flag = false;
};

enum class Arity { one, optional, many };
struct Argument {
    const char* name;
    Arity arity = Arity::one;
};

struct Command {
    const char* name;
    const char* help;
    std::vector<Argument> arguments;  // positional
    bool logs_on;                     // logged on before run and off after it
    Outcome (*run)(Connection&, const Invocation&);
    const char* flag = nullptr;  // "-R,--recursive": sets Invocation::flag
    const char* flag_help = nullptr;
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

using rk::client::Transfer;

Outcome transfer_failure(Transfer status, const std::string& what, const std::string& detail) {
    std::string message = what + ": " + std::string(rk::client::describe(status));
    if (!detail.empty()) message += " (" + detail + ")";
    return {refused, message};
}

// "2024-03-01 18:04:22"; a value that is no date shows as dashes.
std::string format_dos_date(std::uint32_t dos) {
    const unsigned month = dos >> 21 & 0x0F, day = dos >> 16 & 0x1F, hour = dos >> 11 & 0x1F,
                   minute = dos >> 5 & 0x3F, second = (dos & 0x1F) * 2;
    if (month < 1 || month > 12 || day < 1 || hour > 23 || minute > 59 || second > 59) {
        return "----------  -------";
    }
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", (dos >> 25) + 1980, month,
                  day, hour, minute, second);
    return text;
}

// Paths in a listing are relative to the listed folder; a direct child
// has no separator after its leading one.
bool direct_child(const std::string& relative) {
    return relative.find('\\', 1) == std::string::npos;
}

Outcome run_ls(Connection& link, const Invocation& call) {
    const std::string path = rk::client::to_wire_path(call.args[0]);
    const auto listing = rk::client::list(link, path);
    if (listing.status == Transfer::missing) return {refused, "no such folder: " + path};
    if (listing.status != Transfer::done)
        return transfer_failure(listing.status, "ls " + path, listing.detail);
    struct Line {
        std::string path;
        std::string text;
    };
    std::vector<Line> lines;
    char size[32];
    for (const auto& file : listing.files) {
        if (!call.flag && !direct_child(file.path)) continue;
        std::snprintf(size, sizeof size, "%12llu", static_cast<unsigned long long>(file.size));
        lines.push_back({file.path, std::string(size) + "  " + format_dos_date(file.dos_date) +
                                        "  " + file.path});
    }
    for (const auto& folder : listing.folders) {
        if (!call.flag && !direct_child(folder.path)) continue;
        std::snprintf(size, sizeof size, "%12u", folder.total);
        lines.push_back({folder.path, std::string(size) + "  " + std::string(19, ' ') + "  " +
                                          folder.path + "\\"});
    }
    std::sort(lines.begin(), lines.end(),
              [](const Line& a, const Line& b) { return a.path < b.path; });
    for (const auto& line : lines) std::cout << line.text << '\n';
    return {};
}

// The last component of a wire path or a local one.
std::string base_name(const std::string& path) {
    const auto at = path.find_last_of("/\\");
    return at == std::string::npos ? path : path.substr(at + 1);
}

constexpr std::uint64_t kProgressFrom = 4u << 20;

// A bar on stderr for large transfers, only when a person watches it.
class ProgressBar {
public:
    explicit ProgressBar(std::string label) : label_(std::move(label)), shown_(::isatty(2) == 1) {}
    ~ProgressBar() {
        if (drawn_) std::cerr << '\n';
    }
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    rk::client::Progress callback() {
        if (!shown_) return {};
        return [this](std::uint64_t done, std::uint64_t total) { draw(done, total); };
    }

private:
    void draw(std::uint64_t done, std::uint64_t total) {
        if (total < kProgressFrom) return;
        const int percent = int(done * 100 / total);
        if (percent == percent_) return;
        percent_ = percent;
        drawn_ = true;
        const int filled = percent * 30 / 100;
        std::cerr << '\r' << label_ << " [" << std::string(std::size_t(filled), '#')
                  << std::string(std::size_t(30 - filled), ' ') << "] " << percent << "% of "
                  << total / 1024 << " KiB" << std::flush;
    }

    std::string label_;
    bool shown_;
    bool drawn_ = false;
    int percent_ = -1;
};

Outcome run_get(Connection& link, const Invocation& call) {
    const std::string remote = rk::client::to_wire_path(call.args[0]);
    const std::string local = call.args.size() > 1 ? call.args[1] : base_name(remote);
    if (local.empty()) return {usage, "no local name can be made from " + remote};
    rk::client::Download result;
    {
        ProgressBar bar(base_name(remote));
        result = rk::client::download(link, remote, local, bar.callback());
    }
    if (result.status == Transfer::done) return {};
    if (result.status == Transfer::missing) return {refused, "no such file: " + remote};
    return transfer_failure(result.status, "get " + remote, result.detail);
}

Outcome run_get_batch(Connection& link, const Invocation& call) {
    if (call.args.size() < 2) return {usage, "give at least one remote file and a folder"};
    const std::filesystem::path folder = call.args.back();
    std::error_code ec;
    if (!std::filesystem::is_directory(folder, ec))
        return {usage, "not a folder: " + folder.string()};
    std::vector<std::string> names;
    for (std::size_t i = 0; i + 1 < call.args.size(); ++i) {
        names.push_back(rk::client::to_wire_path(call.args[i]));
    }
    const auto batch = rk::client::download_batch(link, names);
    if (batch.status != Transfer::done)
        return transfer_failure(batch.status, "get-batch", batch.detail);
    std::vector<bool> received(names.size(), false);
    std::string problems;
    const auto note = [&problems](const std::string& text) {
        if (!problems.empty()) problems += "\nrkclient: ";
        problems += text;
    };
    for (const auto& entry : batch.entries) {
        if (entry.tag < 0 || std::size_t(entry.tag) >= names.size() ||
            received[std::size_t(entry.tag)])
            continue;
        received[std::size_t(entry.tag)] = true;
        const std::string& name = names[std::size_t(entry.tag)];
        if (entry.length < 0) {
            note("no such file: " + name);
            continue;
        }
        const std::filesystem::path target = folder / base_name(name);
        std::ofstream out(target, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(entry.bytes.data()),
                  std::streamsize(entry.bytes.size()));
        out.close();
        if (!out) note("cannot write " + target.string());
    }
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (!received[i]) note("not sent (too large for a batch): " + names[i]);
    }
    if (!problems.empty()) return {refused, problems};
    return {};
}

Outcome run_put(Connection& link, const Invocation& call) {
    const std::string& local = call.args[0];
    const std::string remote = rk::client::to_wire_path(call.args[1]);
    rk::client::Upload result;
    {
        ProgressBar bar(base_name(local));
        rk::client::UploadOptions options;
        options.progress = bar.callback();
        result = rk::client::upload(link, local, remote, options);
    }
    switch (result.status) {
        case Transfer::done:
            return {};
        case Transfer::refused:
            return {refused, "upload refused: the server cannot create " + remote};
        case Transfer::server_failed:
            return {refused, "upload failed: the server could not write " + remote};
        case Transfer::local_failed:
            return {refused, result.detail};
        default:
            break;
    }
    return transfer_failure(result.status, "put " + remote, result.detail);
}

Outcome run_rmtree(Connection& link, const Invocation& call) {
    if (link.remove_tree(rk::client::to_wire_path(call.args[0]))) return {};
    return {refused, kNoAnswer};
}

Outcome run_slots(Connection& link, const Invocation& call) {
    const auto slots = link.slot_dates(rk::client::to_wire_path(call.args[0]));
    if (!slots.answered) return {refused, kNoAnswer};
    for (std::size_t i = 0; i < slots.dates.size(); ++i) {
        std::cout << "slot " << i + 1 << "  "
                  << (slots.dates[i] == -1 ? std::string("none")
                                           : format_dos_date(std::uint32_t(slots.dates[i])))
                  << '\n';
    }
    return {};
}

Outcome run_reset_slot(Connection& link, const Invocation& call) {
    if (link.reset_slot(rk::client::to_wire_path(call.args[0]))) return {};
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
        {"mkdir", "create a folder and any missing parents", {{"PATH"}}, true, run_mkdir},
        {"rmdir", "remove an empty folder", {{"PATH"}}, true, run_rmdir},
        {"rm", "delete a file", {{"PATH"}}, true, run_rm},
        {"rmtree", "delete everything below a folder", {{"PATH"}}, true, run_rmtree},
        {"ls",
         "list a folder: size, date, path",
         {{"PATH"}},
         true,
         run_ls,
         "-R,--recursive",
         "everything below the folder, not only its children"},
        {"get", "download a file", {{"REMOTE"}, {"LOCAL", Arity::optional}}, true, run_get},
        {"get-batch",
         "download several small files into the folder DIR",
         {{"REMOTE... DIR", Arity::many}},
         true,
         run_get_batch},
        {"put", "upload a file", {{"LOCAL"}, {"REMOTE"}}, true, run_put},
        {"slots", "show the slot dates of a game folder", {{"PATH"}}, true, run_slots},
        {"reset-slot",
         "stamp a slot folder's date record with now",
         {{"PATH"}},
         true,
         run_reset_slot},
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
    // Single arguments read into strings and repeated ones into lists;
    // both flatten into Invocation::args in table order.
    struct Value {
        std::string one;
        std::vector<std::string> many;
        CLI::Option* option = nullptr;
    };
    std::vector<std::vector<Value>> args(table.size());
    std::vector<bool> flags(table.size(), false);
    std::vector<CLI::App*> subs;
    for (std::size_t i = 0; i < table.size(); ++i) {
        CLI::App* sub = app.add_subcommand(table[i].name, table[i].help);
        args[i].resize(table[i].arguments.size());
        for (std::size_t j = 0; j < table[i].arguments.size(); ++j) {
            const Argument& a = table[i].arguments[j];
            Value& value = args[i][j];
            if (a.arity == Arity::many) {
                value.option = sub->add_option(a.name, value.many)
                                   ->required()
                                   ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
            } else {
                value.option = sub->add_option(a.name, value.one);
                if (a.arity == Arity::one) value.option->required();
            }
        }
        if (table[i].flag) {
            sub->add_flag_function(
                table[i].flag, [&flags, i](std::int64_t) { flags[i] = true; }, table[i].flag_help);
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

    Invocation call{user, {}, {}, flags[chosen]};
    for (const Value& value : args[chosen]) {
        if (!value.many.empty()) {
            call.args.insert(call.args.end(), value.many.begin(), value.many.end());
        } else if (value.option->count() > 0) {
            call.args.push_back(value.one);
        }
    }
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
