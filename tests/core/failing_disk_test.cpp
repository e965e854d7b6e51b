// The engine on a disk that fails: every storage operation of an upload's
// commit and of an account creation is made to fail in turn, once and for
// good (a full disk). A failed step is never answered as a success, the old
// file stays whole, the server goes on serving once the disk recovers, and
// the log names the cause.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <string>
#include <system_error>

#include "accounts/account_file.h"
#include "client/connection.h"
#include "client/transfers.h"
#include "core/server.h"
#include "platform/home_files.h"
#include "testing/faulty_env.h"
#include "testing/log_capture.h"
#include "testing/temp_dir.h"

namespace rk::core {
namespace {

using namespace std::chrono_literals;
using platform::testing::FaultyEnv;

// Far more storage operations than either walk needs; a walk that gets here
// never reached the point where nothing failed.
constexpr std::uint64_t kMaxSteps = 200;

constexpr FaultyEnv::Mode kModes[] = {FaultyEnv::Mode::once, FaultyEnv::Mode::persistent};

const char* name_of(FaultyEnv::Mode mode) {
    return mode == FaultyEnv::Mode::once ? "one failure" : "full disk";
}

class FailingDiskTest : public ::testing::Test {
protected:
    void SetUp() override {
        accounts::AccountImage image;
        image.accounts = {{"alice", "pw", false}};
        image.settings.allow_new_users = true;
        const auto file = accounts::encode_account_file(image);
        ASSERT_TRUE(file.ok());
        home_.write_file("rkServer.cfg", std::string(file.bytes.begin(), file.bytes.end()));
        home_.make_dir("alice");
        server_ = std::make_unique<Server>(ServerOptions{.home = home_.path(),
                                                         .port = 0,
                                                         .address = "127.0.0.1",
                                                         .env = &disk_,
                                                         .ticks = &ticks_});
        server_->open();
        ASSERT_FALSE(server_->start_service());
    }

    std::unique_ptr<client::Connection> connect() {
        std::error_code ec;
        auto conn = client::Connection::connect("127.0.0.1", server_->endpoint()->port(), ec,
                                                {.ack_timeout = 3s, .answer_timeout = 3s});
        EXPECT_TRUE(conn) << ec.message();
        return conn;
    }

    std::unique_ptr<client::Connection> logged_on() {
        auto conn = connect();
        if (conn) {
            EXPECT_EQ(conn->logon("alice", "pw").status, client::Logon::accepted);
        }
        return conn;
    }

    std::vector<std::string> stored_names() {
        const std::string file = home_.read_file("rkServer.cfg");
        const auto decoded = accounts::decode_account_file(
            std::span(reinterpret_cast<const std::uint8_t*>(file.data()), file.size()));
        EXPECT_EQ(decoded.status, accounts::DecodeStatus::ok) << decoded.problem;
        std::vector<std::string> names;
        for (const auto& account : decoded.image.accounts) names.push_back(account.name);
        return names;
    }

    platform::testing::TempDir home_;
    platform::testing::TempDir local_;  // the client's side
    FaultyEnv disk_{platform::Env::host()};
    support::ManualTickSource ticks_;
    std::unique_ptr<Server> server_;
};

TEST_F(FailingDiskTest, UploadIsCompleteOnlyWhenItsFileIsInPlace) {
    const std::string content(5000, 'n');
    local_.write_file("SAVE.DAT", content);
    for (const FaultyEnv::Mode mode : kModes) {
        home_.write_file("alice/SAVE.DAT", "old");
        bool completed = false;
        std::uint64_t steps = 0;
        for (std::uint64_t n = 1; n <= kMaxSteps && !completed; ++n) {
            SCOPED_TRACE(std::string(name_of(mode)) + " at step " + std::to_string(n));
            auto conn = logged_on();
            ASSERT_TRUE(conn);
            const std::uint64_t failures = disk_.failures();
            disk_.fail_at(n, ENOSPC, mode);
            const auto upload = client::upload(*conn, local_.path("SAVE.DAT"), "\\SAVE.DAT");
            const bool failed = disk_.failures() > failures;
            disk_.clear_faults();
            steps = n;
            if (upload.status == client::Transfer::done) {
                // 159: the new file is there, whatever failed on the way.
                EXPECT_EQ(home_.read_file("alice/SAVE.DAT"), content);
                completed = !failed;
                home_.write_file("alice/SAVE.DAT", "old");
            } else {
                EXPECT_TRUE(failed) << client::describe(upload.status);
                EXPECT_NE(upload.status, client::Transfer::no_answer) << "a failure is answered";
                EXPECT_EQ(home_.read_file("alice/SAVE.DAT"), "old");
            }
            // The disk has recovered: the server serves this connection on.
            EXPECT_TRUE(conn->request(wire::Kind::request, 99));
        }
        EXPECT_TRUE(completed) << name_of(mode) << ": no step left the upload alone";
        EXPECT_GT(steps, 3u) << name_of(mode) << ": the walk met too few operations to be one";
    }
}

TEST_F(FailingDiskTest, FailedUploadLogsItsCause) {
    local_.write_file("SAVE.DAT", std::string(3000, 'n'));
    home_.write_file("alice/SAVE.DAT", "old");
    rk::testing::LogCapture log;
    auto conn = logged_on();
    ASSERT_TRUE(conn);
    // The disk is full by the time the whole file is synced to it.
    disk_.fail_at(1, ENOSPC, FaultyEnv::Mode::persistent, FaultyEnv::kSync);
    const auto upload = client::upload(*conn, local_.path("SAVE.DAT"), "\\SAVE.DAT");
    disk_.clear_faults();
    EXPECT_NE(upload.status, client::Transfer::done);
    EXPECT_EQ(home_.read_file("alice/SAVE.DAT"), "old");

    const std::string cause =
        "no space left: " + home_.path("alice/" + platform::upload_temp_name("SAVE.DAT")) + " (" +
        std::generic_category().message(ENOSPC) + ")";
    const std::string text = log.text();
    EXPECT_NE(text.find("warning connection "), std::string::npos) << text;
    EXPECT_NE(text.find(": alice: upload"), std::string::npos) << text;
    EXPECT_NE(text.find("SAVE.DAT\" failed: " + cause), std::string::npos) << text;
}

TEST_F(FailingDiskTest, AccountIsCreatedOnlyWhenTheAccountFileHoldsIt) {
    for (const FaultyEnv::Mode mode : kModes) {
        bool completed = false;
        std::uint64_t steps = 0;
        for (std::uint64_t n = 1; n <= kMaxSteps && !completed; ++n) {
            SCOPED_TRACE(std::string(name_of(mode)) + " at step " + std::to_string(n));
            const std::string name =
                std::string(mode == FaultyEnv::Mode::once ? "o" : "p") + std::to_string(n);
            const std::string before = home_.read_file("rkServer.cfg");
            auto conn = connect();
            ASSERT_TRUE(conn);
            const std::uint64_t failures = disk_.failures();
            disk_.fail_at(n, ENOSPC, mode);
            const auto result = conn->create_account(name, "pw");
            const bool failed = disk_.failures() > failures;
            disk_.clear_faults();
            const auto names = stored_names();
            const bool stored = std::find(names.begin(), names.end(), name) != names.end();
            steps = n;
            if (result == client::AccountResult::created) {
                // 168: the account is on disk, whatever failed on the way.
                EXPECT_TRUE(stored);
                completed = !failed;
            } else {
                // 171, never 168, and the old file untouched.
                EXPECT_EQ(result, client::AccountResult::not_allowed);
                EXPECT_TRUE(failed);
                EXPECT_EQ(home_.read_file("rkServer.cfg"), before);
                EXPECT_EQ(conn->logon(name, "pw").status, client::Logon::bad_credentials)
                    << "an account that was not saved does not exist";
            }
        }
        EXPECT_TRUE(completed) << name_of(mode) << ": no step left the creation alone";
        EXPECT_GT(steps, 3u) << name_of(mode) << ": the walk met too few operations to be one";
    }
    EXPECT_TRUE(logged_on()) << "the old accounts still log on";
}

}  // namespace
}  // namespace rk::core
