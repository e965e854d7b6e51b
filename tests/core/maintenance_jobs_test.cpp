// Purge and conversion run through the server while it serves clients.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "../accounts/account_bytes.h"
#include "../maintenance/container_bytes.h"
#include "client/connection.h"
#include "core/server.h"
#include "testing/temp_dir.h"

namespace rk::core {
namespace {

using namespace std::chrono_literals;

TEST(MaintenanceJobs, ConversionLiftsTheHoldOnClients) {
    platform::testing::TempDir home;
    home.write_file("UserInfo.dat", accounts::testing::legacy_user_record("alice", "pw"));
    home.make_dir("alice/game");
    const auto container = maintenance::testing::whole_file_container({{"\\SAVE.DAT", "saved"}});
    home.write_file("alice/game/SV1.DAT", std::string(container.begin(), container.end()));

    support::ManualTickSource ticks;
    Server server({.home = home.path(), .port = 0, .address = "127.0.0.1", .ticks = &ticks});
    server.open();
    ASSERT_FALSE(server.start_service());
    std::error_code ec;
    auto conn = client::Connection::connect("127.0.0.1", server.endpoint()->port(), ec,
                                            {.ack_timeout = 3s, .answer_timeout = 1s});
    EXPECT_EQ(conn->logon("alice", "pw").status, client::Logon::no_answer)
        << "nothing is served while old saves await conversion";

    const auto outcome = server.convert();
    EXPECT_TRUE(outcome.result.complete());
    EXPECT_TRUE(outcome.finish.ok()) << outcome.finish.status.to_string();
    EXPECT_EQ(home.read_file("alice/game/1/SAVE.DAT"), "saved");
    EXPECT_FALSE(std::filesystem::exists(home.path("alice/game/SV1.DAT")));
    EXPECT_FALSE(std::filesystem::exists(home.path("UserInfo.dat")));
    EXPECT_TRUE(std::filesystem::exists(home.path("rkServer.cfg")));
    EXPECT_FALSE(server.status().text.empty());
    EXPECT_EQ(conn->logon("alice", "pw").status, client::Logon::accepted);
}

TEST(MaintenanceJobs, PurgeRemovesOldSlotsOnly) {
    platform::testing::TempDir home;
    home.make_dir("alice/game/1");
    home.make_dir("alice/game/2");
    home.write_file("alice/game/1/DOCDATE.SYN", "");
    home.write_file("alice/game/1/SAVE.DAT", "old");
    home.write_file("alice/game/2/DOCDATE.SYN", "");
    home.write_file("alice/game/2/SAVE.DAT", "new");
    const auto old = std::filesystem::file_time_type::clock::now() - std::chrono::hours(24 * 40);
    std::filesystem::last_write_time(home.path("alice/game/1/DOCDATE.SYN"), old);

    support::ManualTickSource ticks;
    Server server({.home = home.path(), .port = 0, .address = "127.0.0.1", .ticks = &ticks});
    server.open();
    const auto result = server.purge(30);
    EXPECT_EQ(result.slots_purged, 1u);
    EXPECT_FALSE(std::filesystem::exists(home.path("alice/game/1")));
    EXPECT_EQ(home.read_file("alice/game/2/SAVE.DAT"), "new");
}

}  // namespace
}  // namespace rk::core
