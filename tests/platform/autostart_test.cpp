#include "platform/autostart.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "testing/temp_dir.h"

namespace rk::platform {
namespace {

namespace fs = std::filesystem;

TEST(DesktopExec, QuotesThePathAndEscapesWhatTheEntryFormatMeans) {
    struct Case {
        const char* path;
        const char* value;
    };
    const std::vector<Case> cases = {
        {"/opt/rk/rkserver", R"("/opt/rk/rkserver")"},
        {"/opt/my games/rkserver", R"("/opt/my games/rkserver")"},
        {"/opt/$HOME/rk", R"("/opt/\\$HOME/rk")"},
        {"/opt/100%/rk", R"("/opt/100%%/rk")"},
        {"/opt/a\"b/rk", R"("/opt/a\\"b/rk")"},
        {"/opt/a`b/rk", R"("/opt/a\\`b/rk")"},
        {"/opt/a\\b/rk", R"("/opt/a\\\\b/rk")"},
        {"/opt/a\nb/rk", R"("/opt/a\nb/rk")"},
    };
    for (const Case& c : cases) EXPECT_EQ(desktop_exec_value(c.path), c.value) << c.path;
}

class AutostartTest : public ::testing::Test {
protected:
    Env& env = Env::host();
    testing::TempDir dir;
    const std::string folder = dir.path("cfg/autostart");
    Autostart autostart{env, folder};
    const std::string program = "/opt/rk server/rkserver";

    std::string entry() const { return dir.read_file("cfg/autostart/rkserver.desktop"); }
    void write_entry(const std::string& text) const {
        dir.make_dir("cfg/autostart");
        dir.write_file("cfg/autostart/rkserver.desktop", text);
    }
};

TEST_F(AutostartTest, EnableWritesADesktopEntryForExactlyThisProgram) {
    EXPECT_FALSE(autostart.is_enabled(program));
    ASSERT_FALSE(autostart.enable(program)) << "the folders are made";
    // The installed desktop file, naming this copy by its full path.
    std::ifstream installed(RKSERVER_DESKTOP_FILE_PATH, std::ios::binary);
    std::string expected{std::istreambuf_iterator<char>(installed), std::istreambuf_iterator<char>()};
    const std::string installed_exec = "\nExec=rkserver\n";
    const auto exec = expected.find(installed_exec);
    ASSERT_NE(exec, std::string::npos);
    expected.replace(exec, installed_exec.size(), "\nExec=\"/opt/rk server/rkserver\"\n");
    EXPECT_EQ(entry(), expected + "X-GNOME-Autostart-enabled=true\n");
    EXPECT_TRUE(autostart.is_enabled(program));
    for (const char* other : {"/opt/rk server/rkserver2", "/opt/RK server/rkserver",
                              "/opt/rk server", "/other/rkserver"}) {
        EXPECT_FALSE(autostart.is_enabled(other)) << other;
    }
}

TEST_F(AutostartTest, AnEntryForAnotherCopyIsOffUntilRewritten) {
    ASSERT_FALSE(autostart.enable("/old/place/rkserver"));
    EXPECT_FALSE(autostart.is_enabled(program));
    ASSERT_FALSE(autostart.enable(program));
    EXPECT_TRUE(autostart.is_enabled(program));
    EXPECT_FALSE(autostart.is_enabled("/old/place/rkserver"));
}

TEST_F(AutostartTest, OnlyTheMainGroupsExecCountsAndTheDesktopMaySwitchItOff) {
    const std::string exec = "Exec=\"/opt/rk server/rkserver\"\n";
    struct Case {
        const char* what;
        std::string text;
        bool enabled;
    };
    const std::vector<Case> cases = {
        {"spaces around =", "[Desktop Entry]\nExec = \"/opt/rk server/rkserver\"\n", true},
        {"CR LF lines", "[Desktop Entry]\r\nExec=\"/opt/rk server/rkserver\"\r\n", true},
        {"unquoted", "[Desktop Entry]\nExec=/opt/rk server/rkserver\n", false},
        {"in another group only", "[Desktop Entry]\nName=x\n[Desktop Action a]\n" + exec, false},
        {"before any group", exec + "[Desktop Entry]\n", false},
        {"hidden", "[Desktop Entry]\n" + exec + "Hidden=true\n", false},
        {"switched off", "[Desktop Entry]\n" + exec + "X-GNOME-Autostart-enabled=false\n", false},
        {"a localised key is not Exec", "[Desktop Entry]\nExec[de]=\"/opt/rk server/rkserver\"\n",
         false},
    };
    for (const Case& c : cases) {
        write_entry(c.text);
        EXPECT_EQ(autostart.is_enabled(program), c.enabled) << c.what;
    }
}

TEST_F(AutostartTest, DisableRemovesOnlyTheEntry) {
    ASSERT_FALSE(autostart.enable(program));
    dir.write_file("cfg/autostart/other.desktop", "[Desktop Entry]\n");
    EXPECT_FALSE(autostart.disable());
    EXPECT_FALSE(fs::exists(folder + "/rkserver.desktop"));
    EXPECT_TRUE(fs::exists(folder + "/other.desktop"));
    EXPECT_FALSE(autostart.is_enabled(program));
    EXPECT_FALSE(autostart.disable()) << "no entry is no error";
}

TEST_F(AutostartTest, ARelativePathIsRefused) {
    EXPECT_EQ(autostart.enable("rkserver"), std::errc::invalid_argument);
    EXPECT_EQ(autostart.enable(""), std::errc::invalid_argument);
    EXPECT_FALSE(fs::exists(folder));
}

}  // namespace
}  // namespace rk::platform
