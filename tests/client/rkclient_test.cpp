// Runs the built rkclient against a scripted peer and checks what a script
// calling it relies on: the exit status, the one-line message, the requests.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

#include "scripted_peer.h"
#include "wire/codes.h"
#include "wire/payload.h"
#include "wire/zlib_codec.h"

namespace rk::client::test {
namespace {

using wire::Reply;
using wire::code_of;
using wire::Request;


struct ProgramRun {
    int status = -1;
    std::string output;  // stdout and stderr together
};

ProgramRun run_program(const std::string& arguments, const std::string& environment) {
    const std::string command =
        environment + " " + RKCLIENT_PROGRAM + " " + arguments + " 2>&1 </dev/null";
    ProgramRun run;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return run;
    char buffer[512];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) run.output.append(buffer, n);
    const int raw = ::pclose(pipe);
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return run;
}

std::string replace(std::string text, const std::string& from, const std::string& to) {
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at)) {
        text.replace(at, from.size(), to);
        at += to.size();
    }
    return text;
}

std::uint16_t closed_port() {
    asio::io_context io;
    asio::ip::tcp::acceptor probe(io, {asio::ip::address_v4::loopback(), 0});
    return probe.local_endpoint().port();
}

const std::map<std::uint8_t, std::vector<Answer>> kWelcoming{
    {code_of(Request::logon), {{code_of(Reply::logon_accepted), 0}}},
    {code_of(Request::logoff), {{code_of(Reply::logged_off), 0}}},
};

std::map<std::uint8_t, std::vector<Answer>> welcoming_and(std::uint8_t request, Answer answer) {
    auto answers = kWelcoming;
    answers[request] = {answer};
    return answers;
}

TEST(Rkclient, ExitStatusMessageAndRequests) {
    const std::string pw = "RKCLIENT_PASSWORD=s3cret";
    const std::string no_pw = "env -u RKCLIENT_PASSWORD";
    const std::uint8_t logon = code_of(Request::logon), logoff = code_of(Request::logoff);
    const struct {
        const char* name;
        std::string environment;
        std::string arguments;  // {port} is the peer's port
        std::map<std::uint8_t, std::vector<Answer>> answers;
        int status;
        std::string message;  // the whole output, without "rkclient: " and newline
        std::vector<std::uint8_t> requests;
    } cases[] = {
        {"logon", pw, "logon", kWelcoming, 0, "", {logon, logoff}},
        {"bad password",
         pw,
         "logon",
         {{logon, {{code_of(Reply::logon_refused), 10}}}},
         1,
         "wrong user name or password",
         {logon}},
        {"forbidden",
         pw,
         "logon",
         {{logon, {{code_of(Reply::logon_refused), 2}}}},
         1,
         "account is forbidden",
         {logon}},
        {"wrong version",
         pw,
         "logon",
         {{logon, {{code_of(Reply::wrong_version), 131000}, {code_of(Reply::logon_refused), 1}}}},
         1,
         "server speaks protocol version 131000",
         {logon}},
        {"silent server", pw, "--timeout 0.2 logon", {}, 1, "no answer from the server", {logon}},
        {"mkdir",
         pw,
         "mkdir a/b",
         kWelcoming,
         0,
         "",
         {logon, code_of(Request::create_folder), logoff}},
        {"rmdir", pw, "rmdir /a", kWelcoming, 0, "", {logon, code_of(Request::remove_folder), logoff}},
        {"rm",
         pw,
         "rm /a/SAVE.DAT",
         welcoming_and(code_of(Request::delete_file), {code_of(Reply::file_deleted)}),
         0,
         "",
         {logon, code_of(Request::delete_file), logoff}},
        {"rm failed",
         pw,
         "rm /a/SAVE.DAT",
         welcoming_and(code_of(Request::delete_file), {code_of(Reply::delete_failed)}),
         1,
         "delete failed: \\a\\SAVE.DAT",
         {logon, code_of(Request::delete_file), logoff}},
        {"account created",
         pw,
         "create-account",
         {{code_of(Request::create_account), {{code_of(Reply::account_created)}}}},
         0,
         "",
         {code_of(Request::create_account)}},
        {"account exists",
         pw,
         "create-account",
         {{code_of(Request::create_account), {{code_of(Reply::name_taken)}}}},
         1,
         "account exists",
         {code_of(Request::create_account)}},
        {"accounts closed",
         pw,
         "create-account",
         {{code_of(Request::create_account), {{code_of(Reply::accounts_closed)}}}},
         1,
         "creation of accounts is not allowed",
         {code_of(Request::create_account)}},
        {"no password",
         no_pw,
         "logon",
         kWelcoming,
         2,
         "no password: give --password-file or set RKCLIENT_PASSWORD",
         {}},
        {"missing path", pw, "mkdir", kWelcoming, 2, "*", {}},
        {"unknown command", pw, "fly", kWelcoming, 2, "*", {}},
        {"no command", pw, "", kWelcoming, 2, "*", {}},
        {"name too long",
         pw,
         "logon --user " + std::string(128, 'n'),
         kWelcoming,
         2,
         "the user name must have 1 to 127 bytes",
         {}},
        {"no connection",
         pw,
         "logon --port {closed}",
         {},
         3,
         "cannot connect to 127.0.0.1:{closed}: *",
         {}},
    };
    const std::string closed = std::to_string(closed_port());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<wire::Packet> seen;
        ScriptedPeer peer(answer_all(c.answers, &seen));
        const std::string arguments = replace("--port {port} --user alice " + c.arguments, "{port}",
                                              std::to_string(peer.port()));
        const ProgramRun run = run_program(replace(arguments, "{closed}", closed), c.environment);
        peer.join();

        EXPECT_EQ(run.status, c.status) << run.output;
        if (c.message.empty()) {
            EXPECT_EQ(run.output, "");
        } else {
            // One line, prefixed; "*" stands for text that is not ours to fix.
            const std::string expected = "rkclient: " + replace(c.message, "{closed}", closed);
            const std::string fixed = expected.substr(0, expected.find('*'));
            EXPECT_EQ(run.output.substr(0, fixed.size()), fixed) << run.output;
            EXPECT_EQ(std::count(run.output.begin(), run.output.end(), '\n'), 1) << run.output;
            if (fixed.size() == expected.size()) {
                EXPECT_EQ(run.output, expected + "\n");
            }
        }
        std::vector<std::uint8_t> codes;
        for (const auto& p : seen) codes.push_back(p.head.code);
        EXPECT_EQ(codes, c.requests);
    }
}

TEST(Rkclient, SendsTheCredentialsAndTheConvertedPath) {
    std::vector<wire::Packet> seen;
    ScriptedPeer peer(answer_all(kWelcoming, &seen));
    const std::string file = ::testing::TempDir() + "rkclient_password";
    std::ofstream(file) << "from file\r\nsecond line\n";
    const ProgramRun run =
        run_program("--port " + std::to_string(peer.port()) + " --user alice --password-file " +
                        file + " mkdir 1/SLOT",
                    "RKCLIENT_PASSWORD=ignored");
    peer.join();
    EXPECT_EQ(run.status, 0) << run.output;
    ASSERT_EQ(seen.size(), 3u);
    const auto credentials = wire::read_credentials(seen[0].payload);
    EXPECT_EQ(credentials.name, "alice");
    EXPECT_EQ(credentials.password, "from file");
    EXPECT_EQ(wire::zstr_at(seen[1].payload), "\\1\\SLOT");
}

// A server that logs on and off and answers one transfer request with `serve`.
ScriptedPeer::Script transfer_server(std::function<void(PeerLink&, const wire::Packet&)> serve) {
    return [serve](PeerLink& link) {
        while (auto p = link.next_request()) {
            if (p->head.want_ack != 0) link.ack(p->head.seq);
            if (p->head.code == code_of(Request::logon)) {
                link.send(wire::Kind::reply, code_of(Reply::logon_accepted));
            } else if (p->head.code == code_of(Request::logoff)) {
                link.send(wire::Kind::reply, code_of(Reply::logged_off));
            } else {
                serve(link, *p);
            }
        }
    };
}

ProgramRun run_against(ScriptedPeer& peer, const std::string& command) {
    ProgramRun run =
        run_program("--port " + std::to_string(peer.port()) + " --user alice " + command,
                    "RKCLIENT_PASSWORD=pw");
    peer.join();
    return run;
}

TEST(Rkclient, LsShowsDirectChildrenUnlessRecursive) {
    // \b.txt (3 bytes), \sub\deep.txt (5 bytes), folder \sub (5).
    Bytes listing;
    const auto record = [&listing](const std::string& path, std::uint8_t size) {
        const Bytes head{0, size, 0, 0, 0, 0, 0, 0, 0, 0x20, 0, 0, 0, 0xCA, 0x73, 0xCF, 0x56};
        listing.insert(listing.end(), head.begin(), head.end());
        listing.insert(listing.end(), path.begin(), path.end());
        listing.push_back(0);
    };
    record("\\sub\\deep.txt", 5);
    record("\\b.txt", 3);
    for (char c : std::string("\\sub\r\n")) listing.push_back(std::uint8_t(c));
    listing.insert(listing.end(), {0, 5, 0, 0, 0});
    const struct {
        const char* flag;
        std::string output;
    } cases[] = {
        {"",
         "           3  2023-06-15 14:30:20  \\b.txt\n"
         "           5                       \\sub\\\n"},
        {"-R ",
         "           3  2023-06-15 14:30:20  \\b.txt\n"
         "           5                       \\sub\\\n"
         "           5  2023-06-15 14:30:20  \\sub\\deep.txt\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.flag);
        std::string asked;
        ScriptedPeer peer(transfer_server([&](PeerLink& link, const wire::Packet& p) {
            if (p.head.code != code_of(Request::list_folder)) return;
            asked = wire::zstr_at(p.payload);
            link.send_args(wire::Kind::data, std::uint8_t(wire::Data::listing_header),
                           {2, std::int32_t(listing.size()), 0, 3}, true);
            serve_stream(link, listing, {std::uint8_t(wire::Data::listing_chunk), 3, false, {}, 2});
        }));
        const ProgramRun run = run_against(peer, std::string("ls ") + c.flag + "/saves");
        EXPECT_EQ(run.status, 0) << run.output;
        EXPECT_EQ(run.output, c.output);
        EXPECT_EQ(asked, "\\saves");
    }
}

TEST(Rkclient, GetAndPutMoveTheBytes) {
    const std::string dir = ::testing::TempDir() + "rkclient_files/";
    std::filesystem::create_directories(dir);
    Bytes content(3000);
    for (std::size_t i = 0; i < content.size(); ++i) content[i] = std::uint8_t(i * 7);

    ScriptedPeer getter(transfer_server([&](PeerLink& link, const wire::Packet& p) {
        if (p.head.code != code_of(Request::download_file)) return;
        link.send_args(wire::Kind::data, std::uint8_t(wire::Data::file_header),
                       {std::int32_t(content.size()), 0x20, 0x56CF73CA, 4}, true, p.payload);
        serve_stream(link, content, {std::uint8_t(wire::Data::file_chunk), 4, false, {}, 2});
    }));
    ProgramRun run = run_against(getter, "get /1/SAVE.DAT " + dir + "got.dat");
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(run.output, "");
    std::ifstream in(dir + "got.dat", std::ios::binary);
    EXPECT_EQ(Bytes(std::istreambuf_iterator<char>(in), {}), content);

    Bytes uploaded;
    std::string remote;
    ScriptedPeer putter(transfer_server([&](PeerLink& link, const wire::Packet& p) {
        if (p.head.code == std::uint8_t(wire::Data::file_header)) {
            remote = wire::zstr_at(p.payload);
            uploaded.assign(wire::unpack_size(p.head.arg1, p.head.arg2), 0);
        } else if (p.head.code == std::uint8_t(wire::Data::file_chunk)) {
            Bytes data = p.payload;
            if (p.head.arg4 == 1) data = wire::decompress(data, 1024).bytes;
            std::copy(data.begin(), data.end(),
                      uploaded.begin() + std::ptrdiff_t(p.head.arg2) * 1024);
        } else if (p.head.code == code_of(Request::end_of_pass)) {
            link.send(wire::Kind::reply, code_of(Reply::upload_complete), p.head.arg1);
        }
    }));
    run = run_against(putter, "put " + dir + "got.dat /2/UP.DAT");
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(run.output, "");
    EXPECT_EQ(remote, "\\2\\UP.DAT");
    EXPECT_EQ(uploaded, content);

    ScriptedPeer refuser(transfer_server([&](PeerLink& link, const wire::Packet& p) {
        if (p.head.code == std::uint8_t(wire::Data::file_header)) {
            link.send(wire::Kind::reply, code_of(Reply::cannot_create));
        }
    }));
    run = run_against(refuser, "put " + dir + "got.dat /2/UP.DAT");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.output, "rkclient: upload refused: the server cannot create \\2\\UP.DAT\n");

    ScriptedPeer missing(transfer_server([&](PeerLink& link, const wire::Packet& p) {
        if (p.head.code == code_of(Request::download_file)) {
            link.send(wire::Kind::reply, code_of(Reply::cannot_open));
        }
    }));
    run = run_against(missing, "get /1/GONE.DAT " + dir + "gone.dat");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.output, "rkclient: no such file: \\1\\GONE.DAT\n");
}

TEST(Rkclient, HelpExitsZero) {
    const ProgramRun run = run_program("--help", "");
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.output.find("create-account"), std::string::npos) << run.output;
}

}  // namespace
}  // namespace rk::client::test
