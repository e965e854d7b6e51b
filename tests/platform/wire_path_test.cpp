#include "platform/wire_path.h"

#include <gtest/gtest.h>

#include <string>

#include "testing/faulty_env.h"
#include "testing/temp_dir.h"

namespace rk::platform {
namespace {

using testing::FaultyEnv;
using testing::TempDir;
using namespace std::string_literals;

// alice's storage folder, with her sibling alice2 beside it.
class WirePathTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir.make_dir("alice/Saves");
        dir.make_dir("alice/DATA");
        dir.make_dir("alice/both");
        dir.make_dir("alice2");
        dir.make_dir("outside");
        dir.write_file("alice/Saves/Game1.SAV");
        dir.write_file("alice/Saves/game2.sav");
        dir.write_file("alice/readme.TXT");
        dir.write_file("alice/\xc4\xe4.dat");
        dir.write_file("alice/both/Ab");
        dir.write_file("alice/both/aB");
        dir.write_file("alice2/secret.txt");
        dir.write_file("outside/x");
        dir.symlink("Saves", "alice/inner");
        dir.symlink(".", "alice/self");
        dir.symlink("../alice2", "alice/up");
        dir.symlink(dir.path("alice2"), "alice/sibling");
        dir.symlink("/", "alice/abs");
        dir.symlink("/etc", "alice/etc");
        dir.symlink("nowhere/x", "alice/dangling");
        dir.symlink("loop", "alice/loop");
        dir.symlink("../../outside", "alice/Saves/out");
        root = dir.path("alice");
    }

    std::optional<std::string> map(std::string_view wire) { return map_wire_path(env, root, wire); }

    TempDir dir;
    Env& env = Env::host();
    std::string root;
};

TEST_F(WirePathTest, RefusesEveryWayOut) {
    const std::string cases[] = {
        "..",
        "..\\..",
        "\\..\\x",
        "/../alice2/secret.txt",
        "Saves\\..\\..\\alice2\\secret.txt",
        "Saves/../readme.TXT",  // harmless, still refused
        "Saves\\..",
        "C:\\x",
        "c:x",
        "readme.TXT:stream",
        "Saves\\game2.sav::$DATA",
        "Saves\\\0\\..\\x"s,
        "readme.TXT\0.sav"s,
        "up\\secret.txt",
        "UP\\secret.txt",
        "sibling",
        "sibling\\secret.txt",
        "abs\\etc\\passwd",
        "etc\\passwd",
        "/etc/passwd",
        "\\etc\\passwd",
        "dangling",
        "dangling\\new.sav",
        "loop",
        "Saves\\out\\x",
        "saves\\OUT\\new.sav",
        "inner\\out\\x",
    };
    for (const std::string& wire : cases) EXPECT_EQ(map(wire), std::nullopt) << wire;
}

TEST_F(WirePathTest, MatchesExistingNamesIgnoringAsciiCase) {
    const struct {
        std::string wire;
        std::string host;  // under root; "" is root itself
    } cases[] = {
        {"", ""},
        {"\\", ""},
        {"\\.\\.", ""},
        {"\\Saves\\Game1.SAV", "/Saves/Game1.SAV"},
        {"saves\\game1.sav", "/Saves/Game1.SAV"},
        {"SAVES/GAME2.SAV", "/Saves/game2.sav"},
        {"/saves//game2.sav/", "/Saves/game2.sav"},
        {"Saves\\.\\Game1.SAV", "/Saves/Game1.SAV"},
        {"data\\New\\file.sav", "/DATA/New/file.sav"},
        {"nothere\\SAVES\\x", "/nothere/SAVES/x"},
        {"both\\ab", "/both/Ab"},
        {"both\\aB", "/both/aB"},
        {"\xc4\xe4.DAT", "/\xc4\xe4.dat"},
        {"\xe4\xe4.dat", "/\xe4\xe4.dat"},  // code-page bytes are never folded
        {"inner\\GAME1.sav", "/inner/Game1.SAV"},
        {"SELF\\readme.txt", "/self/readme.TXT"},
        {"...", "/..."},
        {"readme.txt\\x", "/readme.TXT/x"},
    };
    for (const auto& c : cases) EXPECT_EQ(map(c.wire), root + c.host) << c.wire;
}

TEST_F(WirePathTest, ARootGivenWithATrailingSlashMapsTheSame) {
    EXPECT_EQ(map_wire_path(env, root + "/", "\\saves"), root + "/Saves");
    EXPECT_EQ(map_wire_path(env, root + "/", ""), root);
}

TEST_F(WirePathTest, AMissingRootRefusesAnythingBelowIt) {
    EXPECT_EQ(map_wire_path(env, dir.path("nobody"), "x"), std::nullopt);
}

// Only a link's target decides, not how the path to it is spelled.
TEST_F(WirePathTest, ARootReachedThroughALinkStillContainsItsOwnLinks) {
    dir.symlink("alice", "alias");
    EXPECT_EQ(map_wire_path(env, dir.path("alias"), "inner\\game1.sav"),
              dir.path("alias/inner/Game1.SAV"));
    EXPECT_EQ(map_wire_path(env, dir.path("alias"), "up"), std::nullopt);
}

TEST_F(WirePathTest, ALookupThatFailsRefusesRatherThanGuesses) {
    FaultyEnv faulty(env);
    // The first inspection resolves the root; the second looks for "Saves".
    faulty.fail_at(2, EIO, FaultyEnv::Mode::once, FaultyEnv::kInspect);
    EXPECT_EQ(map_wire_path(faulty, root, "Saves\\Game1.SAV"), std::nullopt);
    EXPECT_EQ(faulty.failures(), 1u);
}

struct RefusalCase {
    const char* wire;
    IoStatus::Code code;
    const char* detail;  // below the test folder, or as sent when it starts with '\\'
};

TEST_F(WirePathTest, ARefusalSaysWhy) {
    const RefusalCase cases[] = {
        {"\\..\\alice2", IoStatus::Code::refused_path, "\\..\\alice2"},
        {"up\\secret.txt", IoStatus::Code::refused_path, "alice/up"},
        {"dangling", IoStatus::Code::not_found, "alice/dangling"},
        {"loop", IoStatus::Code::refused_path, "alice/loop"},  // ELOOP
    };
    for (const auto& c : cases) {
        IoStatus why;
        EXPECT_EQ(map_wire_path(env, root, c.wire, &why), std::nullopt) << c.wire;
        EXPECT_EQ(why.code(), c.code) << c.wire << ": " << why.to_string();
        EXPECT_EQ(why.detail(), c.detail[0] == '\\' ? std::string(c.detail) : dir.path(c.detail))
            << c.wire;
    }
    // The cause of a lookup the disk failed is the disk's.
    FaultyEnv faulty(env);
    faulty.fail_at(2, EIO, FaultyEnv::Mode::once, FaultyEnv::kInspect);
    IoStatus why;
    EXPECT_EQ(map_wire_path(faulty, root, "Saves\\Game1.SAV", &why), std::nullopt);
    EXPECT_EQ(why.code(), IoStatus::Code::io_error) << why.to_string();
    EXPECT_EQ(why.error().value(), EIO);
}

}  // namespace
}  // namespace rk::platform
