#include "support/folder_removal.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "testing/faulty_env.h"
#include "testing/temp_dir.h"

namespace rk::support {
namespace {

namespace fs = std::filesystem;

// A home folder with alice's storage, a sibling whose name starts like hers,
// a folder outside the home folder, and links from alice's tree to both.
class FolderRemovalTest : public ::testing::Test {
protected:
    platform::Env& env = platform::Env::host();
    platform::testing::TempDir dir;
    const std::string home = dir.path("home");

    FolderRemovalTest() {
        dir.make_dir("home/alice/saves/deep/deeper");
        dir.write_file("home/alice/top.sav", "1");
        dir.write_file("home/alice/.hidden", "h");
        dir.write_file("home/alice/saves/deep/deeper/slot.sav", "2");
        dir.make_dir("home/alice2");
        dir.write_file("home/alice2/keep.sav", "k");
        dir.make_dir("outside");
        dir.write_file("outside/precious", "p");
        dir.symlink(dir.path("outside"), "home/alice/saves/to-outside");
        dir.symlink(dir.path("home/alice2"), "home/alice/to-sibling");
        dir.symlink(dir.path("outside/precious"), "home/alice/precious-link");
    }

    void expect_others_untouched() const {
        EXPECT_EQ(dir.read_file("outside/precious"), "p");
        EXPECT_EQ(dir.read_file("home/alice2/keep.sav"), "k");
    }
};

TEST_F(FolderRemovalTest, RemovesTheWholeFolderAndOnlyIt) {
    EXPECT_EQ(remove_child_folder(env, home, "alice"), FolderRemoval::removed);
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir.path("home/alice"))));
    EXPECT_TRUE(fs::is_directory(home));
    expect_others_untouched();
}

TEST_F(FolderRemovalTest, FindsTheFolderInAnotherLetterCaseAsALogonDoes) {
    EXPECT_EQ(remove_child_folder(env, home, "ALICE"), FolderRemoval::removed);
    EXPECT_FALSE(fs::exists(dir.path("home/alice")));
    expect_others_untouched();
}

TEST_F(FolderRemovalTest, LeavesALinkNamedLikeTheUserAndWhatItPointsTo) {
    dir.symlink(dir.path("outside"), "home/bob");
    EXPECT_EQ(remove_child_folder(env, home, "bob"), FolderRemoval::not_a_folder);
    EXPECT_TRUE(fs::is_symlink(dir.path("home/bob")));
    expect_others_untouched();
}

TEST_F(FolderRemovalTest, LeavesAFileNamedLikeTheUser) {
    dir.write_file("home/carol", "c");
    EXPECT_EQ(remove_child_folder(env, home, "carol"), FolderRemoval::not_a_folder);
    EXPECT_EQ(dir.read_file("home/carol"), "c");
}

TEST_F(FolderRemovalTest, NoFolderIsNoError) {
    EXPECT_EQ(remove_child_folder(env, home, "dave"), FolderRemoval::absent);
}

TEST_F(FolderRemovalTest, RefusesEveryNameThatReachesBeyondOneFolder) {
    using namespace std::string_view_literals;
    for (const std::string_view name : {""sv, "."sv, ".."sv, "../outside"sv, "alice/saves"sv,
                                        "alice\\saves"sv, "/"sv, "c:alice"sv, "alice\0x"sv}) {
        EXPECT_FALSE(is_plain_entry_name(name)) << name;
        EXPECT_EQ(remove_child_folder(env, home, name), FolderRemoval::refused) << name;
    }
    EXPECT_TRUE(fs::exists(dir.path("home/alice/saves/deep/deeper/slot.sav")));
    expect_others_untouched();
}

TEST_F(FolderRemovalTest, OneFailureLeavesItsItemAndFoldersAndTheRestGoes) {
    platform::testing::FaultyEnv faulty(env);
    faulty.fail_at(1, EACCES, platform::testing::FaultyEnv::Mode::once,
                   platform::testing::FaultyEnv::kRemove);
    EXPECT_EQ(remove_child_folder(faulty, home, "alice"), FolderRemoval::incomplete);
    EXPECT_EQ(faulty.failures(), 1u);
    EXPECT_TRUE(fs::is_directory(dir.path("home/alice")));
    int files_left = 0;
    for (const auto& entry : fs::recursive_directory_iterator(dir.path("home/alice"))) {
        if (!fs::is_directory(entry.symlink_status())) ++files_left;
    }
    EXPECT_LE(files_left, 1) << "the walk gave up after the first failure";
    expect_others_untouched();
}

TEST_F(FolderRemovalTest, AReadOnlyFileStaysWithItsFolders) {
    ASSERT_FALSE(env.set_attributes(dir.path("home/alice/saves/deep/deeper/slot.sav"),
                                    platform::attr::kReadOnly));
    EXPECT_EQ(remove_child_folder(env, home, "alice"), FolderRemoval::incomplete);
    EXPECT_EQ(dir.read_file("home/alice/saves/deep/deeper/slot.sav"), "2");
    EXPECT_FALSE(fs::exists(dir.path("home/alice/top.sav")));
    expect_others_untouched();
}

TEST_F(FolderRemovalTest, AHomeFolderThatCannotBeLookedAtTouchesNothing) {
    platform::testing::FaultyEnv faulty(env);
    faulty.fail_at(1, EIO, platform::testing::FaultyEnv::Mode::once,
                   platform::testing::FaultyEnv::kInspect);
    EXPECT_EQ(remove_child_folder(faulty, home, "alice"), FolderRemoval::unreachable);
    EXPECT_TRUE(fs::exists(dir.path("home/alice/top.sav")));
}

}  // namespace
}  // namespace rk::support
