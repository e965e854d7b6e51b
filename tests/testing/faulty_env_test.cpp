#include "testing/faulty_env.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <iterator>
#include <string_view>
#include <vector>

#include "testing/temp_dir.h"

namespace rk::platform::testing {
namespace {

namespace fs = std::filesystem;

std::span<const std::uint8_t> bytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

constexpr OpenMode kUpdate{Access::read_write, Share::none, false};

class FaultyEnvTest : public ::testing::Test {
protected:
    void SetUp() override { dir.write_file("f", "data"); }

    std::unique_ptr<File> open_f() {
        std::error_code ec;
        auto file = env.open(dir.path("f"), kUpdate, ec);
        EXPECT_TRUE(file) << ec.message();
        return file;
    }

    TempDir dir;
    FaultyEnv env{Env::host()};
};

TEST_F(FaultyEnvTest, CountsCallsOnTheEnvAndOnItsFiles) {
    std::error_code ec;
    env.stat(dir.path("f"), ec);
    auto file = open_f();
    std::uint8_t buffer[4];
    file->read(buffer, ec);
    file->size(ec);
    file->sync();
    env.now();  // cannot fail, so not counted
    EXPECT_EQ(env.operations(), 5u);
    EXPECT_EQ(env.failures(), 0u);
}

TEST_F(FaultyEnvTest, OnceFailsOnlyTheChosenOperation) {
    auto file = open_f();
    env.fail_at(2, EIO);
    std::error_code ec;
    std::uint8_t buffer[4];
    EXPECT_EQ(file->read(buffer, ec), 4u);
    EXPECT_FALSE(ec);
    file->seek(0, SeekOrigin::begin, ec);
    EXPECT_EQ(ec, std::errc::io_error);
    EXPECT_EQ(file->seek(0, SeekOrigin::begin, ec), 0u);
    EXPECT_FALSE(ec);
    EXPECT_EQ(env.failures(), 1u);
}

TEST_F(FaultyEnvTest, PersistentFailsEveryLaterOperationOfItsKinds) {
    auto file = open_f();
    env.fail_at(2, ENOSPC, FaultyEnv::Mode::persistent, FaultyEnv::kWrite);
    std::error_code ec;
    EXPECT_EQ(file->write(bytes("A"), ec), 1u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(file->write(bytes("B"), ec), 0u) << "a failed write writes nothing";
        EXPECT_EQ(ec, std::errc::no_space_on_device);
        EXPECT_FALSE(file->sync()) << "other kinds go on working";
    }
    env.clear_faults();
    EXPECT_EQ(file->write(bytes("C"), ec), 1u);
    file.reset();
    EXPECT_EQ(dir.read_file("f"), "ACta");
    EXPECT_EQ(env.failures(), 3u);
}

TEST_F(FaultyEnvTest, AFailedOperationNeverReachesTheDisk) {
    env.fail_at(1, EACCES, FaultyEnv::Mode::persistent);
    std::error_code ec;
    EXPECT_FALSE(env.open(dir.path("new"), {Access::write, Share::none, true}, ec));
    EXPECT_EQ(ec, std::errc::permission_denied);
    EXPECT_TRUE(env.rename(dir.path("f"), dir.path("g")));
    EXPECT_TRUE(env.make_dir(dir.path("d")));
    EXPECT_TRUE(env.remove_file(dir.path("f")));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1)
        << "only f is left";
    EXPECT_EQ(dir.read_file("f"), "data");
}

// Which kind each call counts as: a fault limited to that kind hits it, and a
// fault limited to every other kind does not.
TEST_F(FaultyEnvTest, EachOperationCountsAsItsKind) {
    using Op = std::function<std::error_code(FaultyEnv&, File&, const TempDir&)>;
    auto value = [](auto call) {
        return [call](FaultyEnv& env, File& file, const TempDir& dir) {
            std::error_code ec;
            call(env, file, dir, ec);
            return ec;
        };
    };
    dir.make_dir("empty");
    const struct {
        const char* what;
        FaultyEnv::Kind kind;
        Op op;
    } cases[] = {
        {"open", FaultyEnv::kOpen, value([](auto& env, auto&, auto& dir, auto& ec) {
             env.open(dir.path("f"), {Access::read, Share::read_write, false}, ec);
         })},
        {"read", FaultyEnv::kRead, value([](auto&, auto& file, auto&, auto& ec) {
             std::uint8_t b[1];
             file.read(b, ec);
         })},
        {"write", FaultyEnv::kWrite,
         value([](auto&, auto& file, auto&, auto& ec) { file.write(bytes("x"), ec); })},
        {"seek", FaultyEnv::kInspect,
         value([](auto&, auto& file, auto&, auto& ec) { file.seek(0, SeekOrigin::end, ec); })},
        {"size", FaultyEnv::kInspect,
         value([](auto&, auto& file, auto&, auto& ec) { file.size(ec); })},
        {"truncate", FaultyEnv::kTruncate,
         [](auto&, auto& file, auto&) { return file.truncate(2); }},
        {"sync", FaultyEnv::kSync, [](auto&, auto& file, auto&) { return file.sync(); }},
        {"file mtime", FaultyEnv::kSetMeta,
         [](auto&, auto& file, auto&) { return file.set_mtime(1000000000); }},
        {"stat", FaultyEnv::kInspect,
         value([](auto& env, auto&, auto& dir, auto& ec) { env.stat(dir.path("f"), ec); })},
        {"list", FaultyEnv::kInspect,
         value([](auto& env, auto&, auto& dir, auto& ec) { env.list(dir.path(), ec); })},
        {"real_path", FaultyEnv::kInspect,
         value([](auto& env, auto&, auto& dir, auto& ec) { env.real_path(dir.path("f"), ec); })},
        {"attributes", FaultyEnv::kInspect,
         value([](auto& env, auto&, auto& dir, auto& ec) { env.attributes(dir.path("f"), ec); })},
        {"make_dir", FaultyEnv::kMakeDir,
         [](auto& env, auto&, auto& dir) { return env.make_dir(dir.path("made")); }},
        {"remove_dir", FaultyEnv::kRemove,
         [](auto& env, auto&, auto& dir) { return env.remove_dir(dir.path("made")); }},
        {"rename", FaultyEnv::kRename,
         [](auto& env, auto&, auto& dir) { return env.rename(dir.path("f"), dir.path("g")); }},
        {"rename back", FaultyEnv::kRename,
         [](auto& env, auto&, auto& dir) { return env.rename(dir.path("g"), dir.path("f")); }},
        {"set_mtime", FaultyEnv::kSetMeta,
         [](auto& env, auto&, auto& dir) { return env.set_mtime(dir.path("f"), 1000000000); }},
        {"set_attributes", FaultyEnv::kSetMeta,
         [](auto& env, auto&, auto& dir) { return env.set_attributes(dir.path("f"), 0); }},
        {"lock", FaultyEnv::kLock,
         value([](auto& env, auto&, auto& dir, auto& ec) { env.lock(dir.path("lock"), ec); })},
        {"remove_file", FaultyEnv::kRemove,
         [](auto& env, auto&, auto& dir) { return env.remove_file(dir.path("lock")); }},
    };
    auto file = open_f();
    ASSERT_TRUE(file);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        env.fail_at(1, EIO, FaultyEnv::Mode::once, FaultyEnv::kAny & ~c.kind);
        EXPECT_FALSE(c.op(env, *file, dir));
        // Undo it, then make it fail.
        env.clear_faults();
        env.fail_at(1, EIO, FaultyEnv::Mode::once, c.kind);
        EXPECT_EQ(c.op(env, *file, dir), std::errc::io_error);
        env.clear_faults();
    }
}

// A file of this Env reads scattered parts through the default path, one
// read a part, so the Nth part's read is the Nth read to fail: the parts
// before it are filled, it and the ones after are not touched.
TEST_F(FaultyEnvTest, ScatteredReadFailsAtTheChosenPart) {
    std::string content(8192, '\0');
    for (std::size_t i = 0; i < content.size(); ++i) content[i] = char(i * 13 + 1);
    dir.write_file("f", content);
    const std::size_t sizes[] = {1024, 7, 1024, 1, 2000};
    for (std::size_t fail_part = 1; fail_part <= std::size(sizes); ++fail_part) {
        SCOPED_TRACE(fail_part);
        std::vector<std::vector<std::uint8_t>> buffers;
        std::vector<std::span<std::uint8_t>> parts;
        for (const std::size_t size : sizes) buffers.emplace_back(size, 0xEE);
        for (auto& b : buffers) parts.emplace_back(b);
        auto file = open_f();
        env.fail_at(fail_part, EIO, FaultyEnv::Mode::once, FaultyEnv::kRead);
        std::error_code ec;
        const std::size_t got = file->read_scattered(parts, ec);
        EXPECT_EQ(ec, std::errc::io_error);
        EXPECT_EQ(env.failures(), fail_part) << "one failure each round";
        std::size_t before = 0;
        for (std::size_t i = 0; i + 1 < fail_part; ++i) {
            EXPECT_EQ(std::string(buffers[i].begin(), buffers[i].end()),
                      content.substr(before, sizes[i]))
                << "part " << i + 1;
            before += sizes[i];
        }
        EXPECT_EQ(got, before);
        for (std::size_t i = fail_part - 1; i < std::size(sizes); ++i) {
            EXPECT_EQ(std::count(buffers[i].begin(), buffers[i].end(), 0xEE),
                      std::ptrdiff_t(sizes[i]))
                << "part " << i + 1 << " was written";
        }
        env.clear_faults();
    }
}

TEST_F(FaultyEnvTest, ArmingAgainCountsAfresh) {
    std::error_code ec;
    env.fail_at(3, EIO);
    env.stat(dir.path("f"), ec);
    env.stat(dir.path("f"), ec);
    env.fail_at(2, EROFS);
    env.stat(dir.path("f"), ec);
    EXPECT_FALSE(ec);
    env.stat(dir.path("f"), ec);
    EXPECT_EQ(ec, std::errc::read_only_file_system);
    EXPECT_EQ(env.operations(), 4u);
}

}  // namespace
}  // namespace rk::platform::testing
