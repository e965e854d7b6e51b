// What the operator sets survives a restart, and the client configuration
// reaches clients at logon when it should.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "client/connection.h"
#include "core/server.h"
#include "testing/temp_dir.h"
#include "wire/zlib_codec.h"
#include "wire/codes.h"

namespace rk::core {
namespace {

using namespace std::chrono_literals;

class SettingsTest : public ::testing::Test {
protected:
    std::unique_ptr<Server> start() {
        auto server = std::make_unique<Server>(ServerOptions{
            .home = home_.path(), .port = 0, .address = "127.0.0.1", .ticks = &ticks_});
        server->open();
        EXPECT_FALSE(server->start_service());
        return server;
    }

    std::unique_ptr<client::Connection> logon(Server& server) {
        std::error_code ec;
        auto conn = client::Connection::connect("127.0.0.1", server.endpoint()->port(), ec,
                                                {.ack_timeout = 3s, .answer_timeout = 3s});
        EXPECT_TRUE(conn);
        EXPECT_EQ(conn->logon("alice", "pw").status, client::Logon::accepted);
        return conn;
    }

    // The configuration text pushed right after the logon, if any.
    std::optional<std::string> pushed(client::Connection& conn) {
        auto p = conn.receive_code(std::uint8_t(wire::Data::client_config), 300ms);
        if (!p) return std::nullopt;
        const auto plain = wire::decompress(p->payload, 1 << 20);
        EXPECT_TRUE(plain.ok());
        return std::string(plain.bytes.begin(), plain.bytes.end());
    }

    platform::testing::TempDir home_;
    support::ManualTickSource ticks_;
};

TEST_F(SettingsTest, EverySettingSurvivesARestart) {
    {
        auto server = start();
        server->run_on_io_thread_for_test([](accounts::AccountStore& a) {
            a.add("alice", "pw");
            a.set_bandwidth(321);
            a.set_allow_new_users(false);
            a.set_serve_client_ini(true);
            a.set_system_password("sesame");
            a.set_port(4321);
            a.set_default_space(77);
        });
        EXPECT_TRUE(server->shut_down().ok());
    }
    auto server = start();
    const auto settings = server->settings();
    EXPECT_EQ(settings.bandwidth, 321);
    EXPECT_FALSE(settings.allow_new_users);
    EXPECT_TRUE(settings.serves_client_ini());
    EXPECT_EQ(settings.system_password, "sesame");
    EXPECT_EQ(settings.port, 4321);
    EXPECT_EQ(settings.default_space, 77);
    EXPECT_EQ(logon(*server)->logon("alice", "pw").detail, 321) << "clients learn the limit at logon";
}

TEST_F(SettingsTest, ClientConfigurationIsPushedOnlyWhenOnAndLongEnough) {
    home_.write_file("rkClient.ini", "[server]\nname=home\n");
    auto server = start();
    server->add_account("alice", "pw", Save::later);

    EXPECT_EQ(pushed(*logon(*server)), std::nullopt) << "the switch is off";

    server->change_settings({.serve_client_ini = true}, Save::later);
    EXPECT_EQ(pushed(*logon(*server)), std::string("[server]\r\nname=home\r\n") + '\0');

    // A change is seen at the next check, 200 ms after a fifth second.
    home_.write_file("rkClient.ini", "only one line\n");
    server->advance_clock(5200);
    EXPECT_EQ(pushed(*logon(*server)), std::nullopt) << "one line is not pushed";

    home_.write_file("rkClient.ini", "a\r\nb\r\nc\r\n");
    server->advance_clock(5000);
    EXPECT_EQ(pushed(*logon(*server)), std::string("a\r\nb\r\nc\r\n") + '\0');
}

}  // namespace
}  // namespace rk::core
