// The engine over real loopback sockets, with the clock driven by hand.
#include <gtest/gtest.h>

#include <asio/connect.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/write.hpp>
#include <chrono>
#include <filesystem>
#include <thread>

#include "accounts/account_file.h"
#include "accounts/account_store.h"
#include "client/connection.h"
#include "core/server.h"
#include "testing/temp_dir.h"
#include "wire/codes.h"
#include "wire/payload.h"

namespace rk::core {
namespace {

using namespace std::chrono_literals;
using client::Connection;
using wire::code_of;
using wire::Kind;
using wire::Reply;
using wire::Request;

constexpr auto kNoAnswer = 300ms;

accounts::AccountImage image_with(std::vector<accounts::Account> users,
                                  std::uint16_t bandwidth = 0) {
    accounts::AccountImage image;
    image.accounts = std::move(users);
    image.settings.bandwidth = bandwidth;
    return image;
}

class EngineTest : public ::testing::Test {
protected:
    // Writes an account file before the server reads it.
    void write_accounts(const accounts::AccountImage& image) {
        const auto bytes = accounts::encode_account_file(image);
        ASSERT_TRUE(bytes.ok());
        home_.write_file("rkServer.cfg", std::string(bytes.bytes.begin(), bytes.bytes.end()));
    }

    void start() {
        server_ = std::make_unique<Server>(ServerOptions{
            .home = home_.path(), .port = 0, .address = "127.0.0.1", .ticks = &ticks_});
        server_->open();
        ASSERT_FALSE(server_->start_service());
    }

    std::unique_ptr<Connection> connect(Connection::Options options = {}) {
        options.answer_timeout = 3s;
        options.ack_timeout = 3s;
        std::error_code ec;
        auto c = Connection::connect("127.0.0.1", server_->endpoint()->port(), ec, options);
        EXPECT_FALSE(ec) << ec.message();
        return c;
    }

    // Waits until the server has taken in everything `c` sent so far: the
    // server handles one connection's packets in order.
    void sync(Connection& c) { ASSERT_TRUE(c.request(Kind::request, 99)); }

    // A server whose one account, alice, has game/SAVE.DAT, and a connection
    // logged on as alice; null when the logon failed.
    std::unique_ptr<Connection> logged_on_with_a_save() {
        write_accounts(image_with({{"alice", "pw", false}}));
        home_.make_dir("alice/game");
        home_.write_file("alice/game/SAVE.DAT", "x");
        start();
        auto conn = connect();
        if (conn->logon("alice", "pw").status != client::Logon::accepted) return nullptr;
        return conn;
    }

    std::size_t connections() {
        // The close runs on the io thread a moment after the socket event.
        for (int i = 0; i < 100; ++i) {
            const auto n = server_->snapshot().connections;
            if (n == 0) return 0;
            std::this_thread::sleep_for(5ms);
        }
        return server_->snapshot().connections;
    }

    platform::testing::TempDir home_;
    support::ManualTickSource ticks_;
    std::unique_ptr<Server> server_;
};

TEST_F(EngineTest, LogonAnswersByVersionCredentialsAndForbiddenMark) {
    write_accounts(image_with({{"alice", "pw", false}, {"bob", "pw", true}}, 77));
    start();
    struct Case {
        const char* name;
        std::string user, password;
        client::Logon expected;
        std::int32_t detail;
    };
    const Case cases[] = {
        {"accepted with the bandwidth limit", "alice", "pw", client::Logon::accepted, 77},
        {"wrong password", "alice", "PW", client::Logon::bad_credentials, 0},
        {"unknown user", "carol", "pw", client::Logon::bad_credentials, 0},
        {"name in another case", "ALICE", "pw", client::Logon::bad_credentials, 0},
        {"forbidden", "bob", "pw", client::Logon::forbidden, 0},
    };
    for (const Case& c : cases) {
        auto conn = connect();
        const auto result = conn->logon(c.user, c.password);
        EXPECT_EQ(result.status, c.expected) << c.name;
        if (c.expected == client::Logon::accepted) {
            EXPECT_EQ(result.detail, c.detail) << c.name;
        }
        EXPECT_FALSE(conn->closed()) << c.name << ": a refused logon keeps the connection";
    }
}

TEST_F(EngineTest, AccountFromAFileWhoseNameCannotBeAFolderCannotLogOn) {
    // Names in an account file written elsewhere were never checked.
    write_accounts(image_with({{"notes.txt", "pw", false}, {"alice\\sub", "pw", false}}));
    home_.write_file("notes.txt", "not a folder");
    start();
    for (const char* name : {"notes.txt", "alice\\sub"}) {
        EXPECT_EQ(connect()->logon(name, "pw").status, client::Logon::bad_credentials) << name;
    }
}

TEST_F(EngineTest, WrongVersionGets158Then152AndTheConnectionCloses) {
    write_accounts(image_with({{"alice", "pw", false}}));
    start();
    auto conn = connect();
    const auto creds = wire::write_credentials("alice", "pw");
    conn->send(Kind::request, code_of(Request::logon), {131094, 0, 0, 0}, creds);
    const auto first = conn->receive(3s);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->head.code, code_of(Reply::wrong_version));
    EXPECT_EQ(first->head.arg1, wire::kProtocolVersion);
    const auto second = conn->receive(3s);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->head.code, code_of(Reply::logon_refused));
    EXPECT_EQ(second->head.arg1, 1);
    EXPECT_FALSE(conn->receive(3s));
    EXPECT_TRUE(conn->closed());
}

TEST_F(EngineTest, LogonWithNoAccountsIsRefused) {
    start();
    EXPECT_EQ(connect()->logon("", "").status, client::Logon::bad_credentials);
}

TEST_F(EngineTest, ReplyIsResentIdenticallyEvery100MsUntilAcknowledged) {
    write_accounts(image_with({{"alice", "pw", false}}));
    start();
    auto conn = connect({.auto_ack = false, .suppress_duplicates = false});
    conn->request(Kind::request, code_of(Request::logon), {wire::kProtocolVersion, 0, 0, 0},
                  wire::write_credentials("alice", "pw"));
    const auto first = conn->receive(3s);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->head.code, code_of(Reply::logon_accepted));
    EXPECT_EQ(first->head.seq, 0u) << "the server numbers its packets from 0";
    EXPECT_FALSE(conn->receive(kNoAnswer)) << "nothing is resent before the clock moves";

    for (int i = 0; i < 3; ++i) {
        server_->advance_clock(100);
        const auto again = conn->receive(3s);
        ASSERT_TRUE(again) << "resend " << i;
        EXPECT_EQ(again->head.seq, first->head.seq);
        EXPECT_EQ(again->payload, first->payload);
        EXPECT_EQ(again->head.checksum, first->head.checksum);
    }
    conn->ack(first->head.seq);
    sync(*conn);
    server_->advance_clock(500);
    EXPECT_FALSE(conn->receive(kNoAnswer)) << "an acknowledged reply is not resent";
}

TEST_F(EngineTest, AcknowledgementBeforeTheFirstResendMeansNoSecondCopy) {
    write_accounts(image_with({{"alice", "pw", false}}));
    start();
    auto conn = connect({.auto_ack = true, .suppress_duplicates = false});
    ASSERT_EQ(conn->logon("alice", "pw").status, client::Logon::accepted);
    sync(*conn);
    server_->advance_clock(1000);
    EXPECT_FALSE(conn->receive(kNoAnswer));
}

TEST_F(EngineTest, AcknowledgementsDoNotUseUpSequenceNumbers) {
    write_accounts(image_with({{"alice", "pw", false}}));
    start();
    auto conn = connect({.auto_ack = true, .suppress_duplicates = false});
    // Each request below is acknowledged by the server before its reply.
    conn->send(Kind::request, code_of(Request::logon), {wire::kProtocolVersion, 0, 0, 0},
               wire::write_credentials("alice", "pw"));
    const auto logon = conn->receive(3s);
    conn->send(Kind::request, code_of(Request::logoff));
    const auto logoff = conn->receive(3s);
    ASSERT_TRUE(logon && logoff);
    EXPECT_EQ(logon->head.seq, 0u);
    EXPECT_EQ(logoff->head.seq, 1u);
}

TEST_F(EngineTest, DuplicateIsAcknowledgedButActedOnOnce) {
    start();
    auto conn = connect();
    // Two copies of one packet, as a client that missed the ack would send.
    wire::PacketHead head;
    head.seq = 40;
    head.code = code_of(Request::create_account);
    head.kind = std::uint8_t(Kind::request);
    head.want_ack = wire::kWantAck;
    const auto bytes = wire::encode_packet(head, wire::write_credentials("dora", "pw"));
    conn->send_raw(bytes);
    conn->send_raw(bytes);
    const auto reply = conn->receive(3s);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->head.code, code_of(Reply::account_created));
    EXPECT_FALSE(conn->receive(kNoAnswer)) << "the copy must not create twice";
    EXPECT_EQ(conn->create_account("dora", "pw"), client::AccountResult::name_taken);
}

TEST_F(EngineTest, PacketWithBadChecksumIsDroppedWithoutAnswer) {
    start();
    auto conn = connect();
    wire::PacketHead head;
    head.seq = 7;
    head.code = code_of(Request::create_account);
    head.kind = std::uint8_t(Kind::request);
    head.want_ack = wire::kWantAck;
    auto bytes = wire::encode_packet(head, wire::write_credentials("erin", "pw"));
    bytes[40] ^= 1;
    conn->send_raw(bytes);
    EXPECT_FALSE(conn->receive(kNoAnswer));
    EXPECT_EQ(conn->create_account("erin", "pw"), client::AccountResult::created)
        << "the corrupt request must not have created the account";
}

TEST_F(EngineTest, AccountCreationRefusesBadNamesAndPersistsGoodOnes) {
    write_accounts(image_with({{"Bob", "pw", false}}));
    // Folders without an account: someone's saves, which no newcomer may get.
    home_.make_dir("Dave");
    home_.write_file("Dave/SAVE.DAT", "dave's");
    home_.make_dir("fifteen-bytes-x");
    start();
    auto conn = connect();
    struct Case {
        std::string name;
        client::AccountResult expected;
    };
    const Case cases[] = {
        {"bob", client::AccountResult::name_taken},
        {"", client::AccountResult::name_taken},
        {".", client::AccountResult::name_taken},
        {"..", client::AccountResult::name_taken},
        {"a/b", client::AccountResult::name_taken},
        {"a\\b", client::AccountResult::name_taken},
        {"c:x", client::AccountResult::name_taken},
        {std::string("a\x01") + "b", client::AccountResult::name_taken},
        {"RKSERVER.CFG", client::AccountResult::name_taken},
        {"UserInfo.dat", client::AccountResult::name_taken},
        {"rkClient.ini", client::AccountResult::name_taken},
        {"dave", client::AccountResult::name_taken},
        {"DAVE", client::AccountResult::name_taken},
        {"Dave", client::AccountResult::name_taken},
        {"fifteen-bytes-xyz", client::AccountResult::name_taken},  // stored as its first 15
        {"-h", client::AccountResult::name_taken},
        {"--help", client::AccountResult::name_taken},
        {"Carol", client::AccountResult::created},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(conn->create_account(c.name, "secret"), c.expected) << "name " << c.name;
    }
    EXPECT_FALSE(std::filesystem::exists(home_.path("a"))) << "a refused name creates nothing";
    EXPECT_EQ(home_.read_file("Dave/SAVE.DAT"), "dave's");
    EXPECT_EQ(connect()->logon("dave", "secret").status, client::Logon::bad_credentials)
        << "no account came into being for the leftover folder";

    // The new account is in the file before the reply, so a fresh store sees it.
    accounts::AccountStore fresh(platform::Env::host(), home_.path());
    fresh.load();
    ASSERT_TRUE(fresh.find_user_pass("Carol", "secret"));
    EXPECT_EQ(connect()->logon("Carol", "secret").status, client::Logon::accepted);
}

TEST_F(EngineTest, AccountCreationCanBeClosed) {
    start();
    server_->change_settings({.allow_new_users = false}, Save::later);
    EXPECT_EQ(connect()->create_account("zed", "pw"), client::AccountResult::not_allowed);
}

TEST_F(EngineTest, RequestsBeforeLogonAreAcknowledgedAndIgnored) {
    write_accounts(image_with({{"alice", "pw", false}}));
    home_.make_dir("alice");
    home_.write_file("alice/keep.dat", "x");
    start();
    auto conn = connect();
    EXPECT_TRUE(
        conn->request(Kind::request, code_of(Request::delete_file), {},
                      std::vector<std::uint8_t>{'\\', 'k', 'e', 'e', 'p', '.', 'd', 'a', 't', 0}));
    EXPECT_FALSE(conn->receive(kNoAnswer));
    EXPECT_TRUE(std::filesystem::exists(home_.path("alice/keep.dat")));
}

TEST_F(EngineTest, FolderAndFileRequestsStayInsideTheUsersFolder) {
    write_accounts(image_with({{"alice", "pw", false}, {"alice2", "pw", false}}));
    home_.make_dir("alice2");
    home_.write_file("alice2/other.dat", "x");
    home_.write_file("rkClient.ini", "x");
    start();
    auto conn = connect();
    ASSERT_EQ(conn->logon("alice", "pw").status, client::Logon::accepted);

    EXPECT_TRUE(conn->make_folder("\\game\\1"));
    sync(*conn);
    EXPECT_TRUE(std::filesystem::is_directory(home_.path("alice/game/1")));
    home_.write_file("alice/game/1/SAVE.DAT", "save");

    struct Case {
        const char* path;
        client::RemoveResult expected;
    };
    const Case cases[] = {
        {"\\..\\alice2\\other.dat", client::RemoveResult::failed},
        {"..\\rkClient.ini", client::RemoveResult::failed},
        {"\\GAME\\1\\save.dat", client::RemoveResult::deleted},  // case ignored, as on Windows
        {"\\game\\1\\SAVE.DAT", client::RemoveResult::failed},   // already gone
        {"\\game", client::RemoveResult::failed},                // a folder is no file
    };
    for (const Case& c : cases) EXPECT_EQ(conn->remove_file(c.path), c.expected) << c.path;
    EXPECT_TRUE(std::filesystem::exists(home_.path("alice2/other.dat")));
    EXPECT_TRUE(std::filesystem::exists(home_.path("rkClient.ini")));

    EXPECT_TRUE(conn->make_folder("\\..\\escape"));
    EXPECT_TRUE(conn->remove_folder("\\game\\1"));
    sync(*conn);
    EXPECT_FALSE(std::filesystem::exists(home_.path("escape")));
    EXPECT_FALSE(std::filesystem::exists(home_.path("alice/game/1")));
}

TEST_F(EngineTest, LinkWatchClosesAfter180SilentSeconds) {
    start();
    auto conn = connect();
    sync(*conn);
    server_->advance_clock(180000);
    EXPECT_EQ(server_->snapshot().connections, 1u) << "silent for exactly 180 s is allowed";
    server_->advance_clock(2000);
    EXPECT_EQ(connections(), 0u);
    EXPECT_FALSE(conn->receive(3s));
    EXPECT_TRUE(conn->closed());
}

TEST_F(EngineTest, ClientThatNeverAcknowledgesIsClosedByTheLinkWatch) {
    write_accounts(image_with({{"alice", "pw", false}}));
    start();
    auto conn = connect({.auto_ack = false, .suppress_duplicates = true});
    conn->request(Kind::request, code_of(Request::logon), {wire::kProtocolVersion, 0, 0, 0},
                  wire::write_credentials("alice", "pw"));
    ASSERT_TRUE(conn->receive(3s));
    // The 151 is resent every 100 ms; the resends do not keep the link alive.
    server_->advance_clock(182000);
    EXPECT_EQ(connections(), 0u);
}

TEST_F(EngineTest, PacketOfAnUnknownKindIsNotActedOn) {
    auto conn = logged_on_with_a_save();
    ASSERT_TRUE(conn);
    const std::vector<std::uint8_t> root{'\\', 0};
    EXPECT_TRUE(conn->request(wire::Kind(99), code_of(Request::delete_tree), {}, root));
    EXPECT_FALSE(conn->receive(kNoAnswer));
    EXPECT_TRUE(std::filesystem::exists(home_.path("alice/game/SAVE.DAT")));
}

TEST_F(EngineTest, CodesTheServerDoesNotTakeAreAcknowledgedAndActOnNothing) {
    auto conn = logged_on_with_a_save();
    ASSERT_TRUE(conn);
    const auto save = wire::path_payload("\\game\\SAVE.DAT");
    struct Case {
        const char* name;
        Kind kind;
        std::uint8_t code;
    };
    const Case cases[] = {
        {"delete (109) sent as a reply", Kind::reply, code_of(Request::delete_file)},
        {"delete (109) sent as data", Kind::data, code_of(Request::delete_file)},
        {"a code no request has", Kind::request, 0},
        {"the batch header only the server sends", Kind::request, code_of(Request::batch_header)},
        {"a listing header from the client", Kind::data, code_of(wire::Data::listing_header)},
        {"a reply the server does not take", Kind::reply, code_of(Reply::logon_accepted)},
    };
    for (const Case& c : cases) {
        EXPECT_TRUE(conn->request(c.kind, c.code, {}, save)) << c.name << ": acknowledged";
        EXPECT_FALSE(conn->receive(kNoAnswer)) << c.name << ": no answer";
        EXPECT_TRUE(std::filesystem::exists(home_.path("alice/game/SAVE.DAT"))) << c.name;
    }
    // The connection serves on: the routed request still works.
    EXPECT_EQ(conn->remove_file("\\game\\SAVE.DAT"), client::RemoveResult::deleted);
    EXPECT_FALSE(std::filesystem::exists(home_.path("alice/game/SAVE.DAT")));
}

TEST_F(EngineTest, TalkingClientIsNotClosedByTheLinkWatch) {
    start();
    auto conn = connect();
    for (int i = 0; i < 10; ++i) {
        sync(*conn);
        server_->advance_clock(30000);  // 300 s in all, never 180 s silent
    }
    EXPECT_EQ(server_->snapshot().connections, 1u);
}

TEST_F(EngineTest, ClientThatStopsReadingIsClosedAfterSixSeconds) {
    start();
    // A raw socket with a tiny receive window that is never read from; every
    // packet it sends asks for an acknowledgement, which piles up unsent.
    asio::io_context io;
    asio::ip::tcp::socket socket(io);
    socket.open(asio::ip::tcp::v4());
    socket.set_option(asio::socket_base::receive_buffer_size(4096));
    socket.connect({asio::ip::make_address("127.0.0.1"), server_->endpoint()->port()});
    std::vector<std::uint8_t> flood;
    for (std::uint32_t seq = 0; seq < 300000; ++seq) {
        wire::PacketHead head;
        head.seq = seq;
        head.code = 99;
        head.kind = std::uint8_t(Kind::request);
        head.want_ack = wire::kWantAck;
        const auto packet = wire::encode_packet(head);
        flood.insert(flood.end(), packet.begin(), packet.end());
    }
    std::thread writer([&] {
        std::error_code ignored;
        asio::write(socket, asio::buffer(flood), ignored);
    });
    // Let the server take in the flood and fill the socket.
    std::this_thread::sleep_for(500ms);
    server_->advance_clock(5900);
    EXPECT_EQ(server_->snapshot().connections, 1u) << "closed before six seconds";
    // Six seconds of the clock after its last progress, it gives up; how
    // long the socket kept taking bytes depends on the machine.
    std::uint64_t waited = 5900;
    while (server_->snapshot().connections > 0 && waited < 60000) {
        server_->advance_clock(100);
        waited += 100;
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(connections(), 0u) << "still open after " << waited << " ms";
    socket.close();
    writer.join();
}

TEST_F(EngineTest, PendingConversionAcknowledgesButActsOnNothing) {
    // A legacy user file and no account file: the old saves await conversion.
    std::string legacy(256, '\0');
    legacy[0] = 5;
    legacy.replace(1, 5, "alice");
    legacy[128] = 2;
    legacy.replace(129, 2, "pw");
    home_.write_file("UserInfo.dat", legacy);
    start();
    auto conn = connect();
    EXPECT_TRUE(conn->request(Kind::request, code_of(Request::logon),
                              {wire::kProtocolVersion, 0, 0, 0},
                              wire::write_credentials("alice", "pw")));
    EXPECT_FALSE(conn->receive(kNoAnswer));
    EXPECT_TRUE(conn->request(Kind::request, code_of(Request::create_account), {},
                              wire::write_credentials("bob", "pw")));
    EXPECT_FALSE(conn->receive(kNoAnswer));
}

TEST_F(EngineTest, PortInUseLeavesTheServiceStopped) {
    start();
    support::ManualTickSource ticks;
    Server second({.home = home_.path(),
                   .port = server_->endpoint()->port(),
                   .address = "127.0.0.1",
                   .ticks = &ticks});
    second.open();
    EXPECT_TRUE(second.start_service());
    EXPECT_FALSE(second.snapshot().listening);
    EXPECT_TRUE(server_->snapshot().listening);
}

TEST_F(EngineTest, ShutDownClosesConnectionsAndSavesChangedSettings) {
    start();
    auto conn = connect();
    sync(*conn);
    server_->change_settings({.bandwidth = 42}, Save::later);
    EXPECT_TRUE(server_->shut_down().ok());
    EXPECT_FALSE(conn->receive(3s));
    EXPECT_TRUE(conn->closed());
    EXPECT_FALSE(server_->snapshot().listening);
    accounts::AccountStore fresh(platform::Env::host(), home_.path());
    fresh.load();
    EXPECT_EQ(fresh.settings().bandwidth, 42);
}

}  // namespace
}  // namespace rk::core
