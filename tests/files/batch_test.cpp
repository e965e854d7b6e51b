#include "files/batch.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <ostream>
#include <string>
#include <vector>

#include "file_times.h"
#include "testing/faulty_env.h"
#include "testing/temp_dir.h"

namespace rk::files {
namespace {

namespace pf = rk::platform;
using rk::files::testing::LocalTime;
using rk::files::testing::set_mtime;
using namespace std::string_literals;

struct Entry {
    std::int32_t tag = 0;
    std::int32_t length = 0;
    std::uint32_t attributes = 0;
    std::uint32_t dos_time = 0;
    std::string bytes;
    bool operator==(const Entry&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Entry& e) {
    return out << "{tag " << e.tag << " length " << e.length << " attr " << e.attributes << " date "
               << e.dos_time << " " << e.bytes.size() << " bytes}";
}

std::uint32_t u32_at(const std::vector<std::uint8_t>& b, std::size_t at) {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= std::uint32_t(b[at + std::size_t(i)]) << (8 * i);
    return v;
}

// Splits a batch stream into its entries as a client does; a stream that does
// not end exactly after its last entry fails the test.
std::vector<Entry> decode(const std::vector<std::uint8_t>& b) {
    std::vector<Entry> entries;
    std::size_t at = 0;
    while (at < b.size()) {
        if (b.size() - at < 16) {
            ADD_FAILURE() << "entry head cut short at " << at;
            break;
        }
        Entry e{std::int32_t(u32_at(b, at)),
                std::int32_t(u32_at(b, at + 4)),
                u32_at(b, at + 8),
                u32_at(b, at + 12),
                {}};
        at += 16;
        const std::size_t length = e.length == -1 ? 0 : std::size_t(e.length);
        if (e.length < -1 || b.size() - at < length) {
            ADD_FAILURE() << "entry data cut short at " << at;
            break;
        }
        e.bytes.assign(b.begin() + std::ptrdiff_t(at), b.begin() + std::ptrdiff_t(at + length));
        at += length;
        entries.push_back(e);
    }
    return entries;
}

Entry unopened(std::int32_t tag) { return {tag, -1, 0, 0, {}}; }

std::string pattern(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = char(i * 7 + i / 251);
    return bytes;
}

class BatchTest : public ::testing::Test {
protected:
    pf::Env& env = pf::Env::host();
    rk::platform::testing::TempDir dir;
    const std::string root = dir.path("alice");

    BatchTest() {
        dir.make_dir("alice");
        dir.make_dir("alice2");
        dir.write_file("alice2/secret.sav", "secret");
    }

    // A file of alice's and the entry it must get.
    Entry file(const std::string& name, const std::string& bytes, std::int32_t tag,
               LocalTime when = {2022, 3, 4, 5, 6, 8}) {
        dir.write_file("alice/" + name, bytes);
        set_mtime(dir.path("alice/" + name), when);
        std::error_code ec;
        const std::uint32_t attributes = env.attributes(dir.path("alice/" + name), ec);
        EXPECT_FALSE(ec);
        return {tag, std::int32_t(bytes.size()), attributes, when.dos(), bytes};
    }

    std::vector<Entry> pack(const std::vector<BatchEntry>& names) {
        return decode(pack_batch(env, root, names));
    }
};

TEST_F(BatchTest, MissingFileGetsAnEntryWithoutData) {
    const Entry first = file("Save1.SAV", "hello", 7, {2001, 2, 3, 4, 5, 6});
    EXPECT_EQ(pack({{"\\save1.sav", 7}, {"\\missing.sav", -9}}),
              (std::vector<Entry>{first, unopened(-9)}));
}

TEST_F(BatchTest, EmptyFileGetsAnEntryOfLengthZero) {
    const Entry empty = file("empty", "", 3);
    EXPECT_EQ(pack({{"empty", 3}}), std::vector<Entry>{empty});
}

TEST_F(BatchTest, FilesFromTheSizeLimitOnGetNoEntry) {
    file("big", pattern(kBatchFileLimit), 1);
    file("bigger", pattern(kBatchFileLimit + 1000), 4);
    const Entry edge = file("edge", pattern(kBatchFileLimit - 1), 2);
    const Entry small = file("small", "s", 3);
    EXPECT_EQ(pack({{"big", 1}, {"edge", 2}, {"bigger", 4}, {"small", 3}}),
              (std::vector<Entry>{edge, small}));
}

TEST_F(BatchTest, PackingStopsAfterTheEntryThatPassesTheStreamLimit) {
    std::vector<BatchEntry> names;
    std::vector<Entry> expected;
    for (int i = 1; i <= 7; ++i) {
        const Entry e = file("f" + std::to_string(i), pattern(225000), i);
        names.push_back({"f" + std::to_string(i), i});
        // Five entries fit under the limit; the sixth passes it and is the last.
        if (i <= 6) expected.push_back(e);
    }
    names.push_back({"missing", 8});
    const auto stream = pack_batch(env, root, names);
    EXPECT_EQ(stream.size(), 6 * (16 + 225000u));
    EXPECT_EQ(decode(stream), expected);
}

TEST_F(BatchTest, PathsThatAreRefusedOrDoNotOpenGetEntriesWithoutData) {
    dir.make_dir("alice/folder");
    dir.symlink(dir.path("alice2/secret.sav"), "alice/link_out");
    const Entry last = file("ok", "ok", 99);
    EXPECT_EQ(pack({{"..\\alice2\\secret.sav", 1},
                    {"\\x\\..\\..\\alice2\\secret.sav", 2},
                    {"\\link_out", 3},
                    {"\\folder", 4},
                    {"c:\\ok", 5},
                    {"o"s + '\0' + "k", 6},
                    {"", 7},
                    {"ok", 99}}),
              (std::vector<Entry>{unopened(1), unopened(2), unopened(3), unopened(4), unopened(5),
                                  unopened(6), unopened(7), last}));
}

TEST_F(BatchTest, ReadFailureGivesAnEntryWithoutDataAndPackingGoesOn) {
    file("first", pattern(3000), 1);
    const Entry second = file("second", "2nd", 2);
    pf::testing::FaultyEnv faulty(env);
    faulty.fail_at(1, EIO, pf::testing::FaultyEnv::Mode::once, pf::testing::FaultyEnv::kRead);
    EXPECT_EQ(
        decode(pack_batch(faulty, root, std::vector<BatchEntry>{{"first", 1}, {"second", 2}})),
        (std::vector<Entry>{unopened(1), second}));
    EXPECT_EQ(faulty.failures(), 1u);
}

}  // namespace
}  // namespace rk::files
