// Reading and replacing whole small files, following links to look at a
// path, and host paths taken apart and put together.
#include "platform/small_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>

#include "platform/host_path.h"
#include "platform/stat_following.h"
#include "testing/faulty_env.h"
#include "testing/temp_dir.h"

namespace rk::platform {
namespace {

using testing::FaultyEnv;
using testing::TempDir;
namespace fs = std::filesystem;

TEST(HostPath, JoinsAndTakesApart) {
    struct Case {
        const char* path;
        const char* parent;
        const char* last;
    };
    const Case cases[] = {
        {"/a/b/c", "/a/b", "c"}, {"/a", "/", "a"},      {"a/b", "a", "b"},
        {"name", ".", "name"},   {"/a/b/", "/a/b", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(parent_folder(c.path), c.parent) << c.path;
        EXPECT_EQ(last_component(c.path), c.last) << c.path;
    }
    EXPECT_EQ(join_path("/a", "b"), "/a/b");
    EXPECT_EQ(join_path("/a/", "b"), "/a/b");
    EXPECT_EQ(join_path("/", "b"), "/b");
    const std::pair<const char*, const char*> trimmed[] = {
        {"/a/b//", "/a/b"}, {"/a", "/a"}, {"///", "/"}, {"", ""}, {"a/", "a"}};
    for (const auto& [path, without] : trimmed) {
        EXPECT_EQ(without_trailing_slashes(path), without) << path;
    }
}

TEST(StatFollowing, AnswersForWhatALinkLeadsTo) {
    TempDir dir;
    dir.make_dir("folder");
    dir.write_file("file", "12345");
    dir.symlink(dir.path("folder"), "to_folder");
    dir.symlink("file", "to_file");
    dir.symlink("to_file", "to_link");
    dir.symlink("nowhere", "dangling");
    struct Case {
        const char* name;
        EntryType type;
        const char* target;  // relative to the folder; null: an error
    };
    const Case cases[] = {
        {"folder", EntryType::directory, "folder"},
        {"file", EntryType::file, "file"},
        {"to_folder", EntryType::directory, "folder"},
        {"to_file", EntryType::file, "file"},
        {"to_link", EntryType::file, "file"},
        {"missing", EntryType::none, "missing"},
        {"dangling", EntryType::none, nullptr},
    };
    const std::string real_dir = fs::canonical(dir.path()).string();
    for (const Case& c : cases) {
        std::error_code ec;
        std::string target;
        const FileInfo info = stat_following(Env::host(), dir.path(c.name), ec, &target);
        EXPECT_EQ(info.type, c.type) << c.name;
        if (!c.target) {
            EXPECT_TRUE(ec) << c.name;
            continue;
        }
        ASSERT_FALSE(ec) << c.name << ": " << ec.message();
        const std::string expected =
            (std::string(c.name) == c.target ? dir.path() : real_dir) + "/" + c.target;
        EXPECT_EQ(target, expected) << c.name;
    }
    std::error_code ec;
    EXPECT_EQ(stat_following(Env::host(), dir.path("to_file"), ec).size, 5u);
}

TEST(SmallFile, ReadsWholeFilesUpToTheCap) {
    TempDir dir;
    dir.write_file("four", "four");
    struct Case {
        const char* name;
        std::size_t cap;
        const char* content;
        bool too_large;
        int error;  // errno value
    };
    const Case cases[] = {
        {"four", 4, "four", false, 0},
        {"four", 100000, "four", false, 0},
        {"four", 3, "", true, 0},
        {"missing", 10, "", false, ENOENT},
    };
    for (const Case& c : cases) {
        const SmallFile read = read_small_file(Env::host(), dir.path(c.name), c.cap);
        EXPECT_EQ(read.content, c.content) << c.name << " cap " << c.cap;
        EXPECT_EQ(read.too_large, c.too_large) << c.name << " cap " << c.cap;
        EXPECT_EQ(read.error.value(), c.error) << c.name << " cap " << c.cap;
    }
}

class ReplaceFileTest : public ::testing::Test {
protected:
    std::string path(const std::string& name) const { return dir.path(name); }

    TempDir dir;
};

TEST_F(ReplaceFileTest, WritesAnOwnerOnlyFileAndMakesItsFolder) {
    ASSERT_FALSE(replace_file(Env::host(), path("new/sub/file"), "content"));
    EXPECT_EQ(dir.read_file("new/sub/file"), "content");
    EXPECT_EQ(fs::status(path("new/sub/file")).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_FALSE(fs::exists(path("new/sub/file.tmp")));
}

TEST_F(ReplaceFileTest, TakesTheTemporaryNameDateAndModeAsked) {
    dir.write_file("file", "old");
    const mode_t mask = ::umask(022);
    const std::error_code ec =
        replace_file(Env::host(), path("file"), "new",
                     {.temporary = path(".file.part"), .owner_only = false, .mtime = 1000000000});
    ::umask(mask);
    ASSERT_FALSE(ec) << ec.message();
    EXPECT_EQ(dir.read_file("file"), "new");
    std::error_code ignored;
    EXPECT_EQ(Env::host().stat(path("file"), ignored).mtime, 1000000000);
    EXPECT_EQ(fs::status(path("file")).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                  fs::perms::others_read);
    EXPECT_FALSE(fs::exists(path(".file.part")));
}

TEST_F(ReplaceFileTest, ALeftoverAtTheTemporaryNameIsNeverWrittenThrough) {
    dir.write_file("file", "old");
    dir.write_file("elsewhere", "not ours");
    struct Case {
        const char* what;
        void (*plant)(const TempDir&);
        bool replaced;
    };
    const Case cases[] = {
        {"a file left by a crash", [](const TempDir& d) { d.write_file("file.tmp", "half"); },
         true},
        {"a link", [](const TempDir& d) { d.symlink(d.path("elsewhere"), "file.tmp"); }, true},
        {"a folder", [](const TempDir& d) { d.make_dir("file.tmp"); }, false},
    };
    for (const Case& c : cases) {
        c.plant(dir);
        const std::error_code ec = replace_file(Env::host(), path("file"), c.what);
        EXPECT_EQ(!ec, c.replaced) << c.what << ": " << ec.message();
        EXPECT_EQ(dir.read_file("file"), c.replaced ? c.what : "old") << c.what;
        EXPECT_EQ(dir.read_file("elsewhere"), "not ours") << c.what;
        if (c.replaced) {
            EXPECT_FALSE(fs::exists(fs::symlink_status(path("file.tmp")))) << c.what;
        }
        fs::remove_all(path("file.tmp"));
        dir.write_file("file", "old");
    }
}

TEST_F(ReplaceFileTest, AnyFailedStepLeavesTheOldFileWhole) {
    dir.write_file("file", "old");
    FaultyEnv faulty(Env::host());
    bool replaced = false;
    for (std::uint64_t n = 1; n < 50 && !replaced; ++n) {
        const std::uint64_t before = faulty.failures();
        faulty.fail_at(n, EIO);
        const std::error_code ec = replace_file(faulty, path("file"), "new");
        const bool failed = faulty.failures() > before;
        faulty.clear_faults();
        if (!failed) {
            EXPECT_FALSE(ec) << "step " << n;
            replaced = true;
        } else if (ec) {
            EXPECT_EQ(dir.read_file("file"), "old") << "step " << n;
        }
        if (!ec) {
            EXPECT_EQ(dir.read_file("file"), "new") << "step " << n;
        }
        dir.write_file("file", "old");
    }
    EXPECT_TRUE(replaced);
}

}  // namespace
}  // namespace rk::platform
