#include "support/file_stream.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include "testing/faulty_env.h"
#include "testing/temp_folder.h"

namespace rk::support {
namespace {

using platform::SeekOrigin;
using testing::TempFolder;

constexpr std::uint64_t kGiB = 1ull << 30;

std::span<const std::uint8_t> as_bytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::string read_all(FileStream& stream, std::size_t at_most) {
    std::string out(at_most, '\0');
    const std::size_t n = stream.read({reinterpret_cast<std::uint8_t*>(out.data()), out.size()});
    out.resize(n);
    return out;
}

class FileStreamTest : public ::testing::Test {
protected:
    platform::Env& env = platform::Env::host();
    TempFolder temp{env};
};

TEST_F(FileStreamTest, WritesReadsAndSeeksByteExactly) {
    OpenedStream created = FileStream::create_for_receiving(env, temp.at("save.dat"));
    ASSERT_TRUE(created) << created.error.message();
    FileStream& stream = created.stream;

    EXPECT_EQ(stream.write(as_bytes("0123456789")), 10u);
    EXPECT_EQ(stream.position(), 10u);
    EXPECT_EQ(stream.size64(), 10u);

    struct Step {
        std::int64_t offset;
        SeekOrigin origin;
        std::uint64_t position;
        const char* then_read;
    };
    const Step steps[] = {
        {3, SeekOrigin::begin, 3, "345"}, {-2, SeekOrigin::current, 4, "45"},
        {-1, SeekOrigin::end, 9, "9"},    {0, SeekOrigin::end, 10, ""},
        {25, SeekOrigin::begin, 25, ""},
    };
    for (const Step& step : steps) {
        ASSERT_TRUE(stream.seek64(step.offset, step.origin));
        EXPECT_EQ(stream.position(), step.position);
        EXPECT_EQ(read_all(stream, std::string(step.then_read).size()), step.then_read);
    }
    EXPECT_FALSE(stream.error());
    EXPECT_EQ(read_all(stream, 4), "");  // past the end: end of file, not an error
    EXPECT_FALSE(stream.error());
}

TEST_F(FileStreamTest, ShortReadAtEndOfFileIsNotAnError) {
    temp.write_file("save.dat", "abcdef");
    OpenedStream opened = FileStream::open_for_sending(env, temp.at("save.dat"));
    ASSERT_TRUE(opened) << opened.error.message();
    EXPECT_EQ(read_all(opened.stream, 4), "abcd");
    EXPECT_EQ(read_all(opened.stream, 4), "ef");
    EXPECT_EQ(opened.stream.position(), 6u);
    EXPECT_FALSE(opened.stream.error());
}

TEST_F(FileStreamTest, SeekBeforeTheStartFailsAndKeepsThePosition) {
    temp.write_file("save.dat", "abcdef");
    OpenedStream opened = FileStream::open_for_sending(env, temp.at("save.dat"));
    ASSERT_TRUE(opened);
    ASSERT_TRUE(opened.stream.seek64(2, SeekOrigin::begin));
    EXPECT_FALSE(opened.stream.seek64(-3, SeekOrigin::current));
    EXPECT_EQ(opened.stream.error(), std::errc::invalid_argument);
    EXPECT_EQ(opened.stream.position(), 2u);
    EXPECT_EQ(read_all(opened.stream, 1), "c");
}

TEST_F(FileStreamTest, SparseFileBeyondFourGiBHasSixtyFourBitSizeAndPositions) {
    const std::uint64_t size = 5 * kGiB + 123;
    temp.make_sparse_file("big.dat", size);
    OpenedStream opened = FileStream::open(
        env, temp.at("big.dat"), {platform::Access::read_write, platform::Share::none, false});
    ASSERT_TRUE(opened) << opened.error.message();
    FileStream& stream = opened.stream;

    EXPECT_EQ(stream.size64(), size);
    ASSERT_TRUE(stream.seek64(static_cast<std::int64_t>(4 * kGiB + 7), SeekOrigin::begin));
    EXPECT_EQ(stream.position(), 4 * kGiB + 7);
    EXPECT_EQ(stream.size64(), size);  // asking the size leaves the position alone
    EXPECT_EQ(stream.position(), 4 * kGiB + 7);

    ASSERT_EQ(stream.write(as_bytes("xyz")), 3u);
    EXPECT_EQ(stream.position(), 4 * kGiB + 10);
    ASSERT_TRUE(stream.seek64(-3, SeekOrigin::current));
    EXPECT_EQ(read_all(stream, 3), "xyz");

    ASSERT_TRUE(stream.seek64(-1, SeekOrigin::end));
    EXPECT_EQ(stream.position(), size - 1);
    EXPECT_EQ(read_all(stream, 8), std::string(1, '\0'));
}

TEST_F(FileStreamTest, SharingBetweenSendingAndReceiving) {
    temp.write_file("save.dat", "old content");
    const std::string path = temp.at("save.dat");
    {
        OpenedStream first = FileStream::open_for_sending(env, path);
        OpenedStream second = FileStream::open_for_sending(env, path);
        EXPECT_TRUE(first) << first.error.message();
        EXPECT_TRUE(second) << "two senders may read together: " << second.error.message();

        OpenedStream receiver = FileStream::create_for_receiving(env, path);
        EXPECT_FALSE(receiver) << "a file being sent cannot be received over";
        EXPECT_EQ(receiver.error, std::errc::operation_would_block);
        EXPECT_FALSE(receiver.stream.is_open());
    }
    {
        OpenedStream receiver = FileStream::create_for_receiving(env, path);
        ASSERT_TRUE(receiver) << receiver.error.message();
        OpenedStream sender = FileStream::open_for_sending(env, path);
        EXPECT_FALSE(sender) << "a file being received cannot be sent";
        EXPECT_EQ(sender.error, std::errc::operation_would_block);
        OpenedStream other_receiver = FileStream::create_for_receiving(env, path);
        EXPECT_FALSE(other_receiver);
    }
    EXPECT_TRUE(FileStream::open_for_sending(env, path)) << "closing releases the share";
}

TEST_F(FileStreamTest, FailedCreateLeavesAFileBeingSentWhole) {
    temp.write_file("save.dat", "still being read");
    OpenedStream sender = FileStream::open_for_sending(env, temp.at("save.dat"));
    ASSERT_TRUE(sender);

    EXPECT_FALSE(FileStream::create_for_receiving(env, temp.at("save.dat")));
    EXPECT_EQ(sender.stream.size64(), 16u);
    EXPECT_EQ(read_all(sender.stream, 64), "still being read");
}

TEST_F(FileStreamTest, CreateTruncatesAnExistingFileItHolds) {
    temp.write_file("save.dat", "old content");
    OpenedStream created = FileStream::create_for_receiving(env, temp.at("save.dat"));
    ASSERT_TRUE(created) << created.error.message();
    EXPECT_EQ(created.stream.size64(), 0u);
    EXPECT_EQ(created.stream.position(), 0u);
    ASSERT_EQ(created.stream.write(as_bytes("new")), 3u);
    created.stream.close();
    EXPECT_EQ(temp.read_file("save.dat"), "new");
}

TEST_F(FileStreamTest, CreateOverAReadOnlyFileFailsUntilItsAttributesChange) {
    temp.write_file("save.dat", "protected");
    const std::string path = temp.at("save.dat");
    ASSERT_FALSE(env.set_attributes(path, platform::attr::kReadOnly));

    OpenedStream refused = FileStream::create_for_receiving(env, path);
    EXPECT_FALSE(refused);
    EXPECT_EQ(refused.error, std::errc::permission_denied);
    EXPECT_EQ(temp.read_file("save.dat"), "protected");
    EXPECT_TRUE(FileStream::open_for_sending(env, path)) << "reading stays allowed";

    ASSERT_FALSE(env.set_attributes(path, platform::attr::kArchive));
    OpenedStream created = FileStream::create_for_receiving(env, path);
    ASSERT_TRUE(created) << created.error.message();
    EXPECT_EQ(created.stream.size64(), 0u);
}

TEST_F(FileStreamTest, OpenErrorsComeBackAsValues) {
    temp.make_dir("folder");
    struct Case {
        const char* what;
        std::string path;
        bool create;
        std::errc expected;
    };
    const Case cases[] = {
        {"missing file", temp.at("missing.dat"), false, std::errc::no_such_file_or_directory},
        {"missing parent", temp.at("nowhere/save.dat"), true, std::errc::no_such_file_or_directory},
        {"folder", temp.at("folder"), false, std::errc::is_a_directory},
        {"folder created over", temp.at("folder"), true, std::errc::is_a_directory},
    };
    for (const Case& c : cases) {
        OpenedStream opened = c.create ? FileStream::create_for_receiving(env, c.path)
                                       : FileStream::open_for_sending(env, c.path);
        EXPECT_FALSE(opened) << c.what;
        EXPECT_EQ(opened.error, c.expected) << c.what << ": " << opened.error.message();
        EXPECT_FALSE(opened.stream.is_open()) << c.what;
    }
}

TEST_F(FileStreamTest, ClosedStreamFailsEveryCall) {
    FileStream stream;
    std::uint8_t buffer[4];
    EXPECT_EQ(stream.read(buffer), 0u);
    EXPECT_EQ(stream.error(), std::errc::bad_file_descriptor);
    EXPECT_EQ(stream.write(buffer), 0u);
    EXPECT_FALSE(stream.seek64(0, SeekOrigin::begin));
    EXPECT_EQ(stream.size64(), 0u);
    EXPECT_TRUE(stream.truncate(0));
    EXPECT_TRUE(stream.sync());
}

TEST_F(FileStreamTest, DiskErrorsShowAsShortCountsAndStay) {
    platform::testing::FaultyEnv faulty(env);
    OpenedStream created = FileStream::create_for_receiving(faulty, temp.at("save.dat"));
    ASSERT_TRUE(created);
    FileStream& stream = created.stream;
    ASSERT_EQ(stream.write(as_bytes("first")), 5u);

    faulty.fail_at(1, ENOSPC, platform::testing::FaultyEnv::Mode::once,
                   platform::testing::FaultyEnv::kWrite);
    EXPECT_EQ(stream.write(as_bytes("second")), 0u);
    EXPECT_EQ(stream.error(), std::errc::no_space_on_device);
    EXPECT_EQ(stream.position(), 5u);

    ASSERT_EQ(stream.write(as_bytes("third")), 5u);
    EXPECT_EQ(stream.error(), std::errc::no_space_on_device) << "the error is kept";

    faulty.fail_at(1, EIO, platform::testing::FaultyEnv::Mode::once,
                   platform::testing::FaultyEnv::kInspect);
    EXPECT_EQ(stream.size64(), 0u);
    EXPECT_EQ(stream.error(), std::errc::io_error);
    EXPECT_EQ(stream.size64(), 10u);
}

TEST_F(FileStreamTest, CreateThatCannotTruncateFailsAndKeepsTheOldContent) {
    temp.write_file("save.dat", "old content");
    platform::testing::FaultyEnv faulty(env);
    faulty.fail_at(1, EIO, platform::testing::FaultyEnv::Mode::once,
                   platform::testing::FaultyEnv::kTruncate);
    OpenedStream created = FileStream::create_for_receiving(faulty, temp.at("save.dat"));
    EXPECT_FALSE(created);
    EXPECT_EQ(created.error, std::errc::io_error);
    EXPECT_FALSE(created.stream.is_open());
    EXPECT_EQ(temp.read_file("save.dat"), "old content");
    EXPECT_TRUE(FileStream::create_for_receiving(env, temp.at("save.dat")))
        << "the failed create released its share";
}

}  // namespace
}  // namespace rk::support
