#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string_view>
#include <vector>

#include "platform/env.h"
#include "testing/temp_dir.h"

namespace rk::platform {
namespace {

using testing::TempDir;
namespace fs = std::filesystem;

constexpr const char* kAttrName = "user.rkserver.attr";

std::span<const std::uint8_t> bytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

class PosixEnvTest : public ::testing::Test {
protected:
    std::unique_ptr<File> open(const std::string& name, OpenMode mode, std::error_code& ec) {
        return env.open(dir.path(name), mode, ec);
    }
    std::error_code open_error(const std::string& name, OpenMode mode) {
        std::error_code ec;
        open(name, mode, ec);
        return ec;
    }
    fs::perms perms(const std::string& name) const {
        return fs::status(dir.path(name)).permissions();
    }

    Env& env = Env::host();
    TempDir dir;
};

// ---- opening and sharing ----

constexpr OpenMode kRead{Access::read, Share::read, false};
constexpr OpenMode kReadAlone{Access::read, Share::none, false};
constexpr OpenMode kReadLetWrite{Access::read, Share::read_write, false};
constexpr OpenMode kWriteLetRead{Access::write, Share::read, false};
constexpr OpenMode kWriteLetWrite{Access::write, Share::write, false};
constexpr OpenMode kUpdateLetRead{Access::read_write, Share::read, false};
constexpr OpenMode kUpdateLetAll{Access::read_write, Share::read_write, false};

struct ShareCase {
    const char* what;
    OpenMode first;
    OpenMode second;
    bool second_opens;
};

// Both opens come from this one process: the locks must still conflict.
TEST_F(PosixEnvTest, ShareModesDecideWhetherASecondOpenSucceeds) {
    const ShareCase cases[] = {
        {"two readers", kRead, kRead, true},
        {"writer after a reader", kRead, kWriteLetRead, false},
        {"updater after a reader", kRead, kUpdateLetRead, false},
        {"reader after a writer", kWriteLetRead, kRead, false},
        {"reader after a reader alone", kReadAlone, kRead, false},
        {"reader alone after a reader", kRead, kReadAlone, false},
        {"two writers sharing writes", kWriteLetWrite, kWriteLetWrite, true},
        {"updater and reader sharing all", kUpdateLetAll, kReadLetWrite, true},
    };
    dir.write_file("f", "data");
    for (const ShareCase& c : cases) {
        SCOPED_TRACE(c.what);
        std::error_code ec;
        auto first = open("f", c.first, ec);
        ASSERT_TRUE(first) << ec.message();
        auto second = open("f", c.second, ec);
        if (c.second_opens) {
            EXPECT_TRUE(second);
            EXPECT_FALSE(ec) << ec.message();
        } else {
            EXPECT_FALSE(second);
            EXPECT_EQ(ec, std::errc::operation_would_block);
        }
    }
}

TEST_F(PosixEnvTest, ClosingAFileReleasesItsShareLock) {
    dir.write_file("f");
    std::error_code ec;
    auto writer = open("f", kWriteLetRead, ec);
    ASSERT_TRUE(writer);
    EXPECT_EQ(open_error("f", kRead), std::errc::operation_would_block);
    writer.reset();
    EXPECT_FALSE(open_error("f", kRead));
}

TEST_F(PosixEnvTest, CreateMakesAMissingFileButNeverTruncates) {
    EXPECT_EQ(open_error("missing", kWriteLetRead), std::errc::no_such_file_or_directory);
    EXPECT_FALSE(fs::exists(dir.path("missing")));

    std::error_code ec;
    auto file = open("new", {Access::write, Share::none, true}, ec);
    ASSERT_TRUE(file) << ec.message();
    EXPECT_TRUE((perms("new") & fs::perms::owner_write) != fs::perms::none);
    file.reset();

    file = open("secret", {Access::write, Share::none, true, true}, ec);
    ASSERT_TRUE(file) << ec.message();
    EXPECT_EQ(perms("secret"), fs::perms::owner_read | fs::perms::owner_write);

    dir.write_file("old", "keep me");
    file = open("old", {Access::write, Share::none, true}, ec);
    ASSERT_TRUE(file) << ec.message();
    EXPECT_EQ(file->size(ec), 7u);
}

TEST_F(PosixEnvTest, OpensOnlyPlainFiles) {
    dir.make_dir("folder");
    ASSERT_EQ(::mkfifo(dir.path("pipe").c_str(), 0644), 0);
    EXPECT_EQ(open_error("folder", kRead), std::errc::is_a_directory);
    EXPECT_EQ(open_error("folder", kWriteLetRead), std::errc::is_a_directory);
    // Would block forever if the pipe were opened like a file.
    EXPECT_EQ(open_error("pipe", kRead), std::errc::invalid_argument);
    EXPECT_TRUE(open_error("pipe", kWriteLetRead));
}

TEST_F(PosixEnvTest, TheReadOnlyAttributeRefusesWritingEvenToRoot) {
    dir.write_file("f", "data");
    ASSERT_FALSE(env.set_attributes(dir.path("f"), attr::kReadOnly));
    const OpenMode writes[] = {kWriteLetRead, kUpdateLetAll, {Access::write, Share::none, true}};
    for (const OpenMode& mode : writes)
        EXPECT_EQ(open_error("f", mode), std::errc::permission_denied);
    EXPECT_FALSE(open_error("f", kRead));

    // Someone gave the write bit back behind our back: the attribute still rules.
    fs::permissions(dir.path("f"), fs::perms::owner_write, fs::perm_options::add);
    EXPECT_EQ(open_error("f", kWriteLetRead), std::errc::permission_denied);

    ASSERT_FALSE(env.set_attributes(dir.path("f"), attr::kArchive));
    EXPECT_FALSE(open_error("f", kWriteLetRead));
}

TEST_F(PosixEnvTest, AMissingWriteBitAloneAlsoMeansReadOnly) {
    dir.write_file("f");
    fs::permissions(dir.path("f"), fs::perms::owner_read | fs::perms::group_read);
    EXPECT_EQ(open_error("f", kWriteLetRead), std::errc::permission_denied);
}

// ---- reading and writing ----

TEST_F(PosixEnvTest, FileReadsWritesSeeksAndTruncates) {
    std::error_code ec;
    auto file = open("f", {Access::read_write, Share::none, true}, ec);
    ASSERT_TRUE(file);
    EXPECT_EQ(file->write(bytes("hello world"), ec), 11u);
    EXPECT_FALSE(ec);
    EXPECT_EQ(file->seek(6, SeekOrigin::begin, ec), 6u);

    std::uint8_t buffer[16] = {};
    EXPECT_EQ(file->read(buffer, ec), 5u) << "a short read is the end of the file";
    EXPECT_FALSE(ec);
    EXPECT_EQ(std::string_view(reinterpret_cast<char*>(buffer), 5), "world");
    EXPECT_EQ(file->read(buffer, ec), 0u);
    EXPECT_FALSE(ec);

    EXPECT_EQ(file->seek(-5, SeekOrigin::end, ec), 6u);
    EXPECT_EQ(file->seek(2, SeekOrigin::current, ec), 8u);
    file->seek(-1, SeekOrigin::begin, ec);
    EXPECT_EQ(ec, std::errc::invalid_argument);

    ASSERT_FALSE(file->truncate(5));
    EXPECT_EQ(file->size(ec), 5u);
    ASSERT_FALSE(file->sync());
    EXPECT_EQ(dir.read_file("f"), "hello");
}

// Parts of mixed sizes (empty ones too), more of them than one readv
// takes, filled one after another as one buffer would be; the end of the
// file may fall anywhere and leaves the parts after it untouched.
TEST_F(PosixEnvTest, ScatteredReadFillsPartsInOrderUpToTheEndOfTheFile) {
    constexpr std::uint8_t kUntouched = 0xEE;
    const std::size_t sizes[] = {1024, 1, 0, 7, 4096, 1023, 3};
    struct Case {
        const char* name;
        std::size_t parts;
        std::size_t file_size;  // bytes from the read position on
    };
    const Case cases[] = {
        {"all parts whole, fewer than IOV_MAX", 100, 1u << 20},
        {"all parts whole, more than IOV_MAX", 2500, 8u << 20},
        {"ends inside a part of the first readv", 2500, 10000 + 3},
        {"ends inside a part after IOV_MAX parts", 2500, 1200 * 880 + 5},
        {"ends exactly after a part", 1500, 1024 + 1 + 0 + 7},
        {"empty file", 10, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // 13 bytes before the read position, so the parts do not start at 0.
        std::string content(13 + c.file_size, '\0');
        for (std::size_t i = 0; i < content.size(); ++i) content[i] = char(i * 7 + i / 1024);
        dir.write_file("f", content);

        std::vector<std::vector<std::uint8_t>> buffers;
        std::vector<std::span<std::uint8_t>> parts;
        std::size_t total = 0;
        for (std::size_t i = 0; i < c.parts; ++i) {
            buffers.emplace_back(sizes[i % std::size(sizes)], kUntouched);
            total += buffers.back().size();
        }
        for (auto& b : buffers) parts.emplace_back(b);
        ASSERT_GT(c.parts, 0u);

        std::error_code ec;
        auto file = open("f", kRead, ec);
        ASSERT_TRUE(file) << ec.message();
        ASSERT_EQ(file->seek(13, SeekOrigin::begin, ec), 13u);
        const std::size_t expected = std::min(total, c.file_size);
        EXPECT_EQ(file->read_scattered(parts, ec), expected);
        EXPECT_FALSE(ec) << ec.message();

        std::string got;
        std::size_t untouched = 0;
        for (const auto& b : buffers) {
            for (const std::uint8_t byte : b) {
                if (got.size() < expected) {
                    got += char(byte);
                } else {
                    untouched += byte == kUntouched;
                }
            }
        }
        EXPECT_EQ(got, content.substr(13, expected));
        EXPECT_EQ(untouched, total - expected) << "bytes past the end of the file were written";
        std::uint8_t next = 0;
        EXPECT_EQ(file->read(std::span(&next, 1), ec), expected < c.file_size ? 1u : 0u)
            << "the position is after what was read";
    }
}

TEST_F(PosixEnvTest, OffsetsAndSizesPastFourGigabytes) {
    constexpr std::uint64_t kFar = 5ull << 30;
    std::error_code ec;
    auto file = open("f", {Access::read_write, Share::none, true}, ec);
    ASSERT_TRUE(file);
    ASSERT_FALSE(file->truncate(kFar + 1));  // sparse: costs no space
    EXPECT_EQ(file->size(ec), kFar + 1);
    EXPECT_EQ(file->seek(static_cast<std::int64_t>(kFar), SeekOrigin::begin, ec), kFar);
    EXPECT_EQ(file->write(bytes("x"), ec), 1u);
    EXPECT_EQ(file->seek(0, SeekOrigin::end, ec), kFar + 1);
}

TEST_F(PosixEnvTest, WritingAFileOpenedForReadingFails) {
    dir.write_file("f", "data");
    std::error_code ec;
    auto file = open("f", kRead, ec);
    ASSERT_TRUE(file);
    EXPECT_EQ(file->write(bytes("x"), ec), 0u);
    EXPECT_TRUE(ec);
    EXPECT_EQ(dir.read_file("f"), "data");
}

// ---- inspecting ----

TEST_F(PosixEnvTest, StatDoesNotFollowLinksAndCallsMissingPathsNone) {
    dir.write_file("f", "12345");
    dir.make_dir("d");
    dir.symlink("f", "link");
    ASSERT_FALSE(env.set_mtime(dir.path("f"), 1000000000));

    const struct {
        const char* name;
        EntryType type;
    } cases[] = {
        {"f", EntryType::file},    {"d", EntryType::directory},  {"link", EntryType::symlink},
        {"none", EntryType::none}, {"f/below", EntryType::none}, {"none/below", EntryType::none},
    };
    for (const auto& c : cases) {
        std::error_code ec;
        EXPECT_EQ(env.stat(dir.path(c.name), ec).type, c.type) << c.name;
        EXPECT_FALSE(ec) << c.name << ": " << ec.message();
    }
    std::error_code ec;
    FileInfo info = env.stat(dir.path("f"), ec);
    EXPECT_EQ(info.size, 5u);
    EXPECT_EQ(info.mtime, 1000000000);
}

TEST_F(PosixEnvTest, ListSortsByNameBytesAndKeepsLinksAsLinks) {
    for (const char* name : {"b", "B", "a", ".hidden", "\xe4.sav"}) dir.write_file(name);
    dir.make_dir("sub");
    dir.symlink("sub", "link");
    std::error_code ec;
    auto entries = env.list(dir.path(), ec);
    ASSERT_FALSE(ec);
    const std::vector<std::pair<std::string, EntryType>> expected = {
        {".hidden", EntryType::file},  {"B", EntryType::file},       {"a", EntryType::file},
        {"b", EntryType::file},        {"link", EntryType::symlink}, {"sub", EntryType::directory},
        {"\xe4.sav", EntryType::file},
    };
    ASSERT_EQ(entries.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(entries[i].name, expected[i].first);
        EXPECT_EQ(entries[i].type, expected[i].second) << entries[i].name;
    }

    EXPECT_TRUE(env.list(dir.path("none"), ec).empty());
    EXPECT_EQ(ec, std::errc::no_such_file_or_directory);
    env.list(dir.path(".hidden"), ec);
    EXPECT_EQ(ec, std::errc::not_a_directory);
}

TEST_F(PosixEnvTest, RealPathResolvesLinks) {
    dir.make_dir("a/b");
    dir.symlink("a/b", "link");
    std::error_code ec;
    EXPECT_EQ(env.real_path(dir.path("link/../b/."), ec), env.real_path(dir.path("a/b"), ec));
    EXPECT_FALSE(ec);
    EXPECT_TRUE(env.real_path(dir.path("none"), ec).empty());
    EXPECT_EQ(ec, std::errc::no_such_file_or_directory);
}

// ---- changing the tree ----

TEST_F(PosixEnvTest, RenameReplacesTheTarget) {
    dir.write_file("new", "new");
    dir.write_file("old", "old");
    ASSERT_FALSE(env.rename(dir.path("new"), dir.path("old")));
    EXPECT_EQ(dir.read_file("old"), "new");
    EXPECT_FALSE(fs::exists(dir.path("new")));
}

TEST_F(PosixEnvTest, FoldersAreMadeAndRemoved) {
    ASSERT_FALSE(env.make_dir(dir.path("d")));
    EXPECT_EQ(env.make_dir(dir.path("d")), std::errc::file_exists);
    dir.write_file("d/f");
    EXPECT_EQ(env.remove_dir(dir.path("d")), std::errc::directory_not_empty);
    ASSERT_FALSE(env.remove_file(dir.path("d/f")));
    ASSERT_FALSE(env.remove_dir(dir.path("d")));
    EXPECT_FALSE(fs::exists(dir.path("d")));
}

TEST_F(PosixEnvTest, SetMtimeByPathLeavesALinksTargetAlone) {
    dir.write_file("f");
    dir.symlink("f", "link");
    std::error_code ec;
    ASSERT_FALSE(env.set_mtime(dir.path("f"), 1000000000));
    ASSERT_FALSE(env.set_mtime(dir.path("link"), 1200000000));
    EXPECT_EQ(env.stat(dir.path("f"), ec).mtime, 1000000000);
    EXPECT_EQ(env.stat(dir.path("link"), ec).mtime, 1200000000);

    auto file = open("f", kWriteLetRead, ec);
    ASSERT_TRUE(file);
    ASSERT_FALSE(file->set_mtime(1300000000));
    EXPECT_EQ(env.stat(dir.path("f"), ec).mtime, 1300000000);
}

// ---- attributes ----

struct AttributeCase {
    const char* what;
    bool folder;
    std::uint32_t set;
    std::uint32_t reported;
};

TEST_F(PosixEnvTest, StoredAttributesReadBack) {
    using namespace attr;
    const AttributeCase cases[] = {
        {"plain file", false, 0, kNormal},
        {"read-only", false, kReadOnly, kReadOnly},
        {"hidden system", false, kHidden | kSystem, kHidden | kSystem},
        {"archive", false, kArchive, kArchive},
        {"all settable", false, kSettable, kSettable},
        {"derived bits are not stored", false, kDirectory | kNormal | 0x40, kNormal},
        {"plain folder", true, 0, kDirectory},
        {"hidden folder", true, kHidden, kDirectory | kHidden},
        {"folder cannot drop its bit", true, kArchive | kNormal, kDirectory | kArchive},
    };
    for (const AttributeCase& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = dir.path(c.what);
        if (c.folder)
            dir.make_dir(c.what);
        else
            dir.write_file(c.what);
        ASSERT_FALSE(env.set_attributes(path, c.set));
        std::error_code ec;
        EXPECT_EQ(env.attributes(path, ec), c.reported);
        EXPECT_FALSE(ec);
    }
}

TEST_F(PosixEnvTest, ReadOnlyIsMirroredIntoTheOwnerWriteBit) {
    dir.write_file("f");
    ASSERT_FALSE(env.set_attributes(dir.path("f"), attr::kReadOnly | attr::kHidden));
    EXPECT_EQ(perms("f") & fs::perms::owner_write, fs::perms::none);
    EXPECT_NE(perms("f") & fs::perms::owner_read, fs::perms::none);
    ASSERT_FALSE(env.set_attributes(dir.path("f"), attr::kHidden));
    EXPECT_NE(perms("f") & fs::perms::owner_write, fs::perms::none);
}

// Files made by other programs, or on a file system without our attribute.
TEST_F(PosixEnvTest, AttributesAreDerivedWhenNoneAreStored) {
    using namespace attr;
    using fs::perms;
    const struct {
        const char* what;
        bool folder;
        perms mode;
        std::uint32_t reported;
    } cases[] = {
        {"file", false, perms(0644), kArchive},
        {"file without write bit", false, perms(0444), kArchive | kReadOnly},
        {"folder", true, perms(0755), kDirectory},
        {"folder without write bit", true, perms(0555), kDirectory | kReadOnly},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.folder)
            dir.make_dir(c.what);
        else
            dir.write_file(c.what);
        fs::permissions(dir.path(c.what), c.mode);
        std::error_code ec;
        EXPECT_EQ(env.attributes(dir.path(c.what), ec), c.reported);
        EXPECT_FALSE(ec);
    }
}

TEST_F(PosixEnvTest, ForeignAttributeValuesAreNotTrusted) {
    dir.write_file("long");
    dir.write_file("junk");
    const std::uint8_t four[] = {attr::kHidden, 0, 0, 0};
    ASSERT_EQ(::setxattr(dir.path("long").c_str(), kAttrName, four, sizeof four, 0), 0);
    const std::uint8_t junk = 0xFF;
    ASSERT_EQ(::setxattr(dir.path("junk").c_str(), kAttrName, &junk, 1, 0), 0);
    std::error_code ec;
    EXPECT_EQ(env.attributes(dir.path("long"), ec), attr::kArchive) << "a longer value is ignored";
    EXPECT_EQ(env.attributes(dir.path("junk"), ec), attr::kSettable) << "stray bits are dropped";
}

TEST_F(PosixEnvTest, AttributesOfAMissingPathAreAnError) {
    std::error_code ec;
    env.attributes(dir.path("none"), ec);
    EXPECT_EQ(ec, std::errc::no_such_file_or_directory);
    EXPECT_EQ(env.set_attributes(dir.path("none"), attr::kHidden),
              std::errc::no_such_file_or_directory);
}

// ---- lock, clock, environment ----

TEST_F(PosixEnvTest, LockIsExclusiveUntilReleased) {
    const std::string path = dir.path("rkserver.lock");
    std::error_code ec;
    auto held = env.lock(path, ec);
    ASSERT_TRUE(held) << ec.message();
    EXPECT_EQ(perms("rkserver.lock"), fs::perms::owner_read | fs::perms::owner_write);

    EXPECT_FALSE(env.lock(path, ec));
    EXPECT_EQ(ec, std::errc::operation_would_block);
    held.reset();
    EXPECT_TRUE(env.lock(path, ec));
}

TEST_F(PosixEnvTest, GetEnvTellsAnEmptyValueFromAMissingOne) {
    ::setenv("RKSERVER_TEST_EMPTY", "", 1);
    ::unsetenv("RKSERVER_TEST_MISSING");
    EXPECT_EQ(env.get_env("RKSERVER_TEST_EMPTY"), std::optional<std::string>(""));
    EXPECT_EQ(env.get_env("RKSERVER_TEST_MISSING"), std::nullopt);
    ::unsetenv("RKSERVER_TEST_EMPTY");
}

}  // namespace
}  // namespace rk::platform
