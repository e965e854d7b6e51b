#include "accounts/client_config.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/home_files.h"
#include "wire/zlib_codec.h"
#include "testing/faulty_env.h"
#include "testing/temp_dir.h"

namespace rk::accounts {
namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

TEST(SplitLines, BreaksAtEveryKindOfLineEnd) {
    struct Case {
        std::string text;
        Lines lines;
    };
    const std::vector<Case> cases = {
        {"", {}},
        {"a", {"a"}},
        {"a\nb", {"a", "b"}},
        {"a\nb\n", {"a", "b"}},
        {"a\r\nb\r\n", {"a", "b"}},
        {"a\rb\r", {"a", "b"}},
        {"a\n\nb", {"a", "", "b"}},
        {"a\n\n", {"a", ""}},
        {"\n", {""}},
        {"\r\n\r\n", {"", ""}},
        {"a\n\rb", {"a", "", "b"}},
        {"a\r\r\nb", {"a", "", "b"}},
        {" x = 1 \t\n[y]", {" x = 1 \t", "[y]"}},
    };
    for (const Case& c : cases) EXPECT_EQ(split_lines(c.text), c.lines) << c.text;
}

TEST(ClientConfigCheck, DueAtTwoHundredMillisecondsAndEveryFiveSecondsAfter) {
    struct Case {
        std::uint64_t clock_ms;
        bool due;
    };
    for (const Case c : {Case{0, false}, Case{180, false}, Case{200, true}, Case{220, false},
                         Case{5000, false}, Case{5200, true}, Case{100200, true}}) {
        EXPECT_EQ(client_config_check_due(c.clock_ms), c.due) << c.clock_ms;
    }
}

class ClientConfigTest : public ::testing::Test {
protected:
    platform::testing::TempDir dir;
    platform::testing::FaultyEnv env{platform::Env::host()};
    ClientConfig config{env, dir.path()};
    const std::string file = dir.path(std::string(platform::kClientConfigFileName));

    void write(const std::string& text) const {
        dir.write_file(std::string(platform::kClientConfigFileName), text);
    }
    // The last-write time moved by whole seconds, so a change within one
    // second still shows.
    void shift_mtime(int seconds) const {
        fs::last_write_time(file, fs::last_write_time(file) + std::chrono::seconds(seconds));
    }
    std::string pushed_text() const {
        const wire::CodecResult text = wire::decompress(config.payload(), 1 << 20);
        EXPECT_TRUE(text.ok()) << text.error;
        return {text.bytes.begin(), text.bytes.end()};
    }
};

TEST_F(ClientConfigTest, PushesEveryLineWithCrLfThenANul) {
    struct Case {
        std::string file;
        std::string pushed;
    };
    const std::vector<Case> cases = {
        {"a\r\nb\r\n", std::string("a\r\nb\r\n\0", 7)},
        {"a\nb", std::string("a\r\nb\r\n\0", 7)},
        {"a\rb\n\nc", std::string("a\r\nb\r\n\r\nc\r\n\0", 12)},
    };
    for (const Case& c : cases) {
        write(c.file);
        ASSERT_TRUE(config.load().reloaded) << c.file;
        EXPECT_EQ(pushed_text(), c.pushed) << c.file;
    }
    // The best compression, as zlib's header tells.
    ASSERT_GE(config.payload().size(), 2u);
    EXPECT_EQ(config.payload()[1] & 0xC0, 0xC0);
}

TEST_F(ClientConfigTest, PushedOnlyWithTheSwitchOnAndTwoLinesOrMore) {
    Settings on;
    on.serve_client_ini = kServeClientIniOn;
    Settings off;
    Settings odd;
    odd.serve_client_ini = kServeClientIniOn + 1;
    struct Case {
        const char* file;  // nullptr: none
        const Settings* settings;
        bool pushed;
    };
    const std::vector<Case> cases = {
        {nullptr, &on, false}, {"one line\n", &on, false}, {"a\nb\n", &on, true},
        {"\n\n", &on, true},   {"a\nb\n", &off, false},    {"a\nb\n", &odd, false},
    };
    for (const Case& c : cases) {
        ClientConfig fresh(env, dir.path());
        std::error_code ignored;
        fs::remove(file, ignored);
        if (c.file != nullptr) write(c.file);
        EXPECT_EQ(fresh.load().message, "");
        EXPECT_EQ(fresh.loaded(), c.file != nullptr);
        EXPECT_EQ(fresh.should_push(*c.settings), c.pushed) << (c.file ? c.file : "no file");
    }
}

TEST_F(ClientConfigTest, RereadsWhenSizeOrTimeChangeEitherWay) {
    write("a\nb\n");
    ASSERT_TRUE(config.load().reloaded);
    EXPECT_FALSE(config.refresh().reloaded) << "nothing changed";

    write("a\nb\nc\n");
    EXPECT_TRUE(config.refresh().reloaded) << "larger";
    EXPECT_EQ(config.lines(), (Lines{"a", "b", "c"}));

    write("x\ny\nz\n");
    shift_mtime(-3600);
    EXPECT_TRUE(config.refresh().reloaded) << "an older copy of the same size";
    EXPECT_EQ(config.lines(), (Lines{"x", "y", "z"}));
    EXPECT_FALSE(config.refresh().reloaded);
}

TEST_F(ClientConfigTest, AppearsLaterAndOutlivesItsDeletion) {
    EXPECT_FALSE(config.load().reloaded);
    EXPECT_FALSE(config.loaded());
    write("a\nb\n");
    EXPECT_TRUE(config.refresh().reloaded);
    fs::remove(file);
    const ClientConfigReport report = config.refresh();
    EXPECT_FALSE(report.reloaded);
    EXPECT_EQ(report.message, "") << "a missing file is no error";
    EXPECT_EQ(config.lines(), (Lines{"a", "b"}));
    EXPECT_FALSE(pushed_text().empty());
}

TEST_F(ClientConfigTest, AnUnreadableFileIsToldOnceUntilItWasReadAgain) {
    write("a\nb\n");
    ASSERT_TRUE(config.load().reloaded);

    write("new\nlines\nhere\n");
    env.fail_at(1, EACCES, platform::testing::FaultyEnv::Mode::persistent,
                platform::testing::FaultyEnv::kOpen);
    EXPECT_NE(config.refresh().message, "");
    for (int check = 0; check < 3; ++check) {
        const ClientConfigReport again = config.refresh();
        EXPECT_EQ(again.message, "") << "told again at check " << check;
        EXPECT_FALSE(again.reloaded);
    }
    EXPECT_GE(env.failures(), 4u) << "every check tries again";
    EXPECT_EQ(config.lines(), (Lines{"a", "b"}));

    env.clear_faults();
    EXPECT_TRUE(config.refresh().reloaded);
    EXPECT_EQ(config.lines(), (Lines{"new", "lines", "here"}));

    write("x\n");
    env.fail_at(1, EIO, platform::testing::FaultyEnv::Mode::persistent,
                platform::testing::FaultyEnv::kRead);
    EXPECT_NE(config.refresh().message, "") << "unreadable again after a good read";
    EXPECT_EQ(config.refresh().message, "");
    EXPECT_EQ(config.lines(), (Lines{"new", "lines", "here"}));
}

TEST_F(ClientConfigTest, ATooLargeFileIsToldOnceAndNotRead) {
    write("a\nb\n");
    ASSERT_TRUE(config.load().reloaded);
    write(std::string(kMaxClientConfigBytes, 'x') + "\n");
    const ClientConfigReport report = config.refresh();
    EXPECT_FALSE(report.reloaded);
    EXPECT_NE(report.message.find("larger"), std::string::npos) << report.message;
    EXPECT_EQ(config.refresh().message, "");
    EXPECT_EQ(config.lines(), (Lines{"a", "b"}));

    write(std::string(kMaxClientConfigBytes - 2, 'y') + "\nz");
    EXPECT_TRUE(config.refresh().reloaded) << "exactly at the cap";
    EXPECT_EQ(config.lines().size(), 2u);
}

TEST_F(ClientConfigTest, AFolderInTheFilesPlaceIsToldOnce) {
    dir.make_dir(std::string(platform::kClientConfigFileName));
    EXPECT_NE(config.load().message, "");
    EXPECT_EQ(config.refresh().message, "");
    EXPECT_FALSE(config.loaded());
}

TEST_F(ClientConfigTest, ALinkedFileIsWatchedThroughTheLink) {
    dir.make_dir("elsewhere");
    dir.write_file("elsewhere/client.ini", "a\nb\n");
    dir.symlink(dir.path("elsewhere/client.ini"), std::string(platform::kClientConfigFileName));
    ASSERT_TRUE(config.load().reloaded);
    dir.write_file("elsewhere/client.ini", "a\nb\nc\n");
    EXPECT_TRUE(config.refresh().reloaded);
    EXPECT_EQ(config.lines(), (Lines{"a", "b", "c"}));
}

}  // namespace
}  // namespace rk::accounts
