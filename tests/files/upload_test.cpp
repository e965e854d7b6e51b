#include "files/upload.h"
#include "platform/home_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "platform/dos_time.h"
#include "testing/faulty_env.h"
#include "testing/temp_dir.h"
#include "wire/zlib_codec.h"
#include "wire/payload.h"
#include "wire/zlib_codec.h"

namespace rk::files {
namespace {

namespace fs = std::filesystem;
namespace pf = rk::platform;
using pf::testing::TempDir;
using Bytes = std::vector<std::uint8_t>;
using Start = Upload::StartResult;
using Chunk = Upload::ChunkResult;
using End = Upload::EndResult;

// 2021-06-15 12:34:56, local time.
constexpr std::int32_t kDosDate = (41 << 25) | (6 << 21) | (15 << 16) | (12 << 11) | (34 << 5) | 28;
constexpr std::int32_t kId = 77;
constexpr std::size_t kChunk = wire::kChunkSize;

// Bytes that differ from chunk to chunk, so a chunk written at the wrong
// offset shows.
Bytes content(std::size_t size, std::uint32_t seed = 1) {
    Bytes out(size);
    std::uint32_t x = seed;
    for (auto& b : out) {
        x = x * 1103515245u + 12345u;
        b = static_cast<std::uint8_t>(x >> 16);
    }
    return out;
}

std::string text(const Bytes& bytes) { return {bytes.begin(), bytes.end()}; }

std::span<const std::uint8_t> chunk_of(const Bytes& data, std::size_t index) {
    const std::size_t from = index * kChunk;
    return std::span<const std::uint8_t>(data).subspan(from, std::min(kChunk, data.size() - from));
}

std::time_t mtime_of(const std::string& path) {
    const auto sys = std::chrono::file_clock::to_sys(fs::last_write_time(path));
    return std::chrono::system_clock::to_time_t(
        std::chrono::time_point_cast<std::chrono::system_clock::duration>(sys));
}

std::vector<std::int32_t> indices_in(const Upload::MissingList& list) {
    Bytes plain = list.payload;
    if (list.compressed) {
        auto inflated = wire::decompress(list.payload, 1 << 20);
        EXPECT_TRUE(inflated.ok()) << inflated.error;
        plain = inflated.bytes;
    }
    std::vector<std::int32_t> out;
    wire::PayloadReader reader(plain);
    while (auto value = reader.i32()) out.push_back(*value);
    EXPECT_TRUE(reader.at_end());
    return out;
}

class UploadTest : public ::testing::Test {
protected:
    // The user's folder does not exist until something is put in it.
    std::string root() const { return dir.path("alice"); }
    std::string at(const std::string& relative) const { return root() + "/" + relative; }

    void old_file(const std::string& relative, const std::string& data) const {
        dir.make_dir(fs::path("alice/" + relative).parent_path().string());
        dir.write_file("alice/" + relative, data);
    }

    std::vector<std::string> temp_files() const {
        std::vector<std::string> found;
        if (!fs::exists(root())) return found;
        for (const auto& entry : fs::recursive_directory_iterator(root())) {
            if (platform::is_upload_temp_name(entry.path().filename().string()))
                found.push_back(entry.path().string());
        }
        return found;
    }

    Start start(std::string_view wire_path, std::uint64_t size, std::uint32_t attributes = 0x20,
                std::int32_t dos_date = kDosDate, std::int32_t id = kId) {
        return up.start(env, root(), wire_path, size, attributes, dos_date, id);
    }

    Chunk send(const Bytes& data, std::size_t index, std::int32_t id = kId) {
        return up.chunk(id, static_cast<std::int32_t>(index), chunk_of(data, index), false);
    }

    TempDir dir;
    pf::Env& env = pf::Env::host();
    Upload up;
};

TEST_F(UploadTest, ChunksInOrderRebuildTheFileByteForByte) {
    for (const std::size_t size : {0, 1, 1023, 1024, 1025, 225279, 225280, (1 << 20) + 7}) {
        SCOPED_TRACE(size);
        const Bytes data = content(size, static_cast<std::uint32_t>(size));
        old_file("save.dat", "the previous version");
        // High bits and derived bits are not the client's to set.
        const std::uint32_t attributes =
            0xABCD0000u | pf::attr::kHidden | pf::attr::kArchive | pf::attr::kDirectory;

        ASSERT_EQ(start("save.dat", size, attributes), size == 0 ? Start::complete : Start::active);
        const std::size_t chunks = wire::chunk_count(size);
        for (std::size_t i = 0; i < chunks; ++i)
            ASSERT_EQ(send(data, i), i + 1 == chunks ? Chunk::complete : Chunk::stored) << i;

        EXPECT_FALSE(up.active());
        EXPECT_EQ(up.transfer_id(), kId);
        EXPECT_EQ(dir.read_file("alice/save.dat"), text(data));
        EXPECT_EQ(mtime_of(at("save.dat")), *pf::from_dos_time(kDosDate));
        std::error_code ec;
        EXPECT_EQ(env.attributes(at("save.dat"), ec), pf::attr::kHidden | pf::attr::kArchive);
        EXPECT_EQ(temp_files(), std::vector<std::string>{});
        EXPECT_EQ(up.chunk(kId, 0, chunk_of(data, 0), false), Chunk::ignored);
    }
}

TEST_F(UploadTest, InvalidDateLeavesTheTimeOfWriting) {
    const std::time_t before = std::time(nullptr);
    ASSERT_EQ(start("a.sav", 0, 0x20, -1), Start::complete);
    EXPECT_GE(mtime_of(at("a.sav")), before - 1);
}

TEST_F(UploadTest, LateChunkIsIgnoredUntilTheEndThenRepairs) {
    const Bytes data = content(4 * kChunk + 10);
    ASSERT_EQ(start("save.dat", data.size()), Start::active);
    for (const std::size_t i : {0, 1, 3}) ASSERT_EQ(send(data, i), Chunk::stored);
    EXPECT_EQ(send(data, 2), Chunk::ignored);
    EXPECT_EQ(send(data, 4), Chunk::stored);

    ASSERT_EQ(up.end(kId), End::missing);
    EXPECT_EQ(up.missing_list().count, 1);
    EXPECT_EQ(indices_in(up.missing_list()), std::vector<std::int32_t>{2});
    // Repair mode writes a chunk again even when it was not missing.
    EXPECT_EQ(send(data, 0), Chunk::stored);
    EXPECT_EQ(send(data, 2), Chunk::complete);
    EXPECT_EQ(dir.read_file("alice/save.dat"), text(data));
}

// Chunks in any order, repeated, wrong and then right, around the large
// blocks the writes are gathered into: the stored file is the source byte
// for byte, and the old file stays until then.
TEST_F(UploadTest, ChunksInAnyOrderWithRepairsRebuildTheFile) {
    // More than one gathered block, with a short last chunk.
    constexpr std::size_t kChunks = 301;
    const Bytes data = content((kChunks - 1) * kChunk + 5, 3);
    const Bytes other = content(kChunk, 99);
    struct Send {
        std::size_t index;
        bool wrong = false;  // full length, other bytes
    };
    const auto all_but = [&](std::set<std::size_t> skip) {
        std::vector<Send> sends;
        for (std::size_t i = 0; i < kChunks; ++i)
            if (!skip.contains(i)) sends.push_back({i});
        return sends;
    };
    const auto with = [](std::vector<Send> sends, std::size_t after, std::vector<Send> extra) {
        sends.insert(sends.begin() + std::ptrdiff_t(after), extra.begin(), extra.end());
        return sends;
    };
    struct Case {
        const char* name;
        std::vector<Send> first_pass;
        std::vector<std::int32_t> missing;
        std::vector<Send> repairs;  // the last one completes the file
    };
    const Case cases[] = {
        {"a gap repaired after the list", all_but({7}), {7}, {{7}}},
        {"gaps at the edge of a gathered block", all_but({255, 256}), {255, 256}, {{256}, {255}}},
        {"the last chunk repaired just after the gathered ones", all_but({300}), {300}, {{300}}},
        {"earlier chunks after later ones wait for the repair",
         with(all_but({2, 3, 4}), 2, {{5}, {3}, {4}, {2}}),
         {2, 3, 4},
         {{4}, {2}, {3}}},
        {"duplicates in both passes",
         with(all_but({200}), 10, {{5}, {9}, {9}}),
         {200},
         {{299}, {5}, {299}, {200}}},
        {"wrong bytes still gathered, the right ones over them",
         with(all_but({5, 290}), 289, {{290, true}}),
         {5},
         {{290}, {5}}},
        {"a repair inside the block of repairs still gathered",
         all_but({100, 101, 102}),
         {100, 101, 102},
         {{100}, {101, true}, {101}, {102}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        old_file("save.dat", "old");
        ASSERT_EQ(start("save.dat", data.size()), Start::active);
        const auto send_one = [&](const Send& s) {
            const auto payload =
                s.wrong ? std::span<const std::uint8_t>(other) : chunk_of(data, s.index);
            return up.chunk(kId, static_cast<std::int32_t>(s.index), payload, false);
        };
        for (const Send& s : c.first_pass) {
            const Chunk result = send_one(s);
            ASSERT_TRUE(result == Chunk::stored || result == Chunk::ignored) << s.index;
        }
        ASSERT_EQ(up.end(kId), End::missing);
        EXPECT_EQ(indices_in(up.missing_list()), c.missing);
        EXPECT_EQ(dir.read_file("alice/save.dat"), "old");
        for (std::size_t i = 0; i < c.repairs.size(); ++i) {
            ASSERT_EQ(send_one(c.repairs[i]),
                      i + 1 == c.repairs.size() ? Chunk::complete : Chunk::stored)
                << "repair " << i << " of chunk " << c.repairs[i].index;
        }
        EXPECT_EQ(dir.read_file("alice/save.dat"), text(data));
        EXPECT_EQ(temp_files(), std::vector<std::string>{});
    }
}

TEST_F(UploadTest, LastChunkAloneCompletesWithoutEnd) {
    const Bytes data = content(1025);
    ASSERT_EQ(start("save.dat", data.size()), Start::active);
    EXPECT_EQ(send(data, 0), Chunk::stored);
    EXPECT_EQ(send(data, 1), Chunk::complete);
    EXPECT_EQ(dir.read_file("alice/save.dat"), text(data));
}

TEST_F(UploadTest, LastChunkFirstDoesNotComplete) {
    const Bytes data = content(2 * kChunk);
    old_file("save.dat", "old");
    ASSERT_EQ(start("save.dat", data.size()), Start::active);
    EXPECT_EQ(send(data, 1), Chunk::stored);
    EXPECT_EQ(send(data, 0), Chunk::ignored);
    EXPECT_EQ(dir.read_file("alice/save.dat"), "old");

    ASSERT_EQ(up.end(kId), End::missing);
    EXPECT_EQ(indices_in(up.missing_list()), std::vector<std::int32_t>{0});
    EXPECT_EQ(send(data, 0), Chunk::complete);
    EXPECT_EQ(dir.read_file("alice/save.dat"), text(data));
}

TEST_F(UploadTest, EndListsChunksNeverSent) {
    const Bytes data = content(2049);
    ASSERT_EQ(start("save.dat", data.size()), Start::active);
    ASSERT_EQ(send(data, 0), Chunk::stored);
    ASSERT_EQ(send(data, 1), Chunk::stored);
    ASSERT_EQ(up.end(kId), End::missing);
    EXPECT_EQ(indices_in(up.missing_list()), std::vector<std::int32_t>{2});
    EXPECT_EQ(send(data, 2), Chunk::complete);
}

TEST_F(UploadTest, EndAfterEveryChunkOfANeverCompletedUploadRepeatsTheList) {
    const Bytes data = content(3 * kChunk);
    ASSERT_EQ(start("save.dat", data.size()), Start::active);
    ASSERT_EQ(up.end(kId), End::missing);
    EXPECT_EQ(indices_in(up.missing_list()), (std::vector<std::int32_t>{0, 1, 2}));
    ASSERT_EQ(send(data, 1), Chunk::stored);
    ASSERT_EQ(up.end(kId), End::missing);
    EXPECT_EQ(indices_in(up.missing_list()), (std::vector<std::int32_t>{0, 2}));
}

// A chunk shorter than its share of the file is no chunk at all, wherever it
// lies: the file may well reach its size around the hole.
TEST_F(UploadTest, ShortChunkStaysMissing) {
    struct Case {
        const char* name;
        std::size_t size;
        std::size_t short_index;
    };
    const Case cases[] = {
        {"middle", 3 * kChunk, 1},
        {"first", 3 * kChunk, 0},
        {"last", 2 * kChunk + 300, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes data = content(c.size);
        ASSERT_EQ(start("save.dat", data.size()), Start::active);
        const std::size_t chunks = wire::chunk_count(c.size);
        for (std::size_t i = 0; i < chunks; ++i) {
            auto payload = chunk_of(data, i);
            if (i == c.short_index) payload = payload.first(100);
            ASSERT_EQ(up.chunk(kId, static_cast<std::int32_t>(i), payload, false), Chunk::stored);
        }
        ASSERT_EQ(up.end(kId), End::missing);
        EXPECT_EQ(indices_in(up.missing_list()),
                  std::vector<std::int32_t>{static_cast<std::int32_t>(c.short_index)});
        // Short again in repair mode: still not there.
        ASSERT_EQ(up.chunk(kId, static_cast<std::int32_t>(c.short_index),
                           chunk_of(data, c.short_index).first(1), false),
                  Chunk::stored);
        ASSERT_EQ(up.end(kId), End::missing);
        EXPECT_EQ(send(data, c.short_index), Chunk::complete);
        EXPECT_EQ(dir.read_file("alice/save.dat"), text(data));
    }
}

TEST_F(UploadTest, MissingListCarriesAtMost1024IndicesCompressedWhenItPays) {
    struct Case {
        std::int32_t missing;
        std::size_t plain_bytes;
        bool compressed;
    };
    const Case cases[] = {
        {1, 4, false},     {56, 224, false},  // too small to try
        {300, 1200, true}, {1024, 4096, true}, {2000, 4096, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.missing);
        // Every chunk but the last stays missing.
        const std::uint64_t size = static_cast<std::uint64_t>(c.missing + 1) * kChunk;
        ASSERT_EQ(start("big.dat", size), Start::active);
        ASSERT_EQ(up.chunk(kId, c.missing, content(kChunk), false), Chunk::stored);
        ASSERT_EQ(up.end(kId), End::missing);

        const Upload::MissingList list = up.missing_list();
        EXPECT_EQ(list.count, c.missing);
        EXPECT_EQ(list.compressed, c.compressed);
        if (c.compressed) {
            EXPECT_LT(list.payload.size() + 32, c.plain_bytes);
        }
        const auto indices = indices_in(list);
        ASSERT_EQ(indices.size() * 4, c.plain_bytes);
        for (std::size_t i = 0; i < indices.size(); ++i) ASSERT_EQ(indices[i], std::int32_t(i));
    }
}

TEST_F(UploadTest, HugeDeclaredSizeListsMissingChunksWithoutOneEntryEach) {
    ASSERT_EQ(start("huge.dat", kMaxUploadSize), Start::active);
    ASSERT_EQ(up.chunk(kId, 5, content(kChunk), false), Chunk::stored);
    ASSERT_EQ(up.end(kId), End::missing);
    const auto list = up.missing_list();
    EXPECT_EQ(list.count, 0x7FFFFFFF - 1);
    const auto indices = indices_in(list);
    ASSERT_EQ(indices.size(), 1024u);
    EXPECT_EQ(indices[4], 4);
    EXPECT_EQ(indices[5], 6);
    EXPECT_EQ(up.chunk(kId, 0x7FFFFFFE, Bytes(kChunk, 1), false), Chunk::stored);
    EXPECT_EQ(up.missing_list().count, 0x7FFFFFFF - 2);
    up.abandon();
    EXPECT_EQ(temp_files(), std::vector<std::string>{});
}

TEST_F(UploadTest, CompressedChunksInflateInPlace) {
    Bytes data(2500);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i / 100);
    ASSERT_EQ(start("save.dat", data.size()), Start::active);
    for (std::size_t i = 0; i < 3; ++i) {
        auto packed = wire::compress(chunk_of(data, i), wire::CompressLevel::max);
        ASSERT_TRUE(packed.ok());
        ASSERT_EQ(up.chunk(kId, static_cast<std::int32_t>(i), packed.bytes, true),
                  i == 2 ? Chunk::complete : Chunk::stored);
    }
    EXPECT_EQ(dir.read_file("alice/save.dat"), text(data));
}

TEST_F(UploadTest, HostileChunkFailsAndLeavesTheOldFile) {
    struct Case {
        const char* name;
        std::int32_t index;
        Bytes payload;
        bool compressed;
    };
    const Bytes garbage = content(300, 9);
    const auto packed_1025 = wire::compress(Bytes(1025, 'x'), wire::CompressLevel::max);
    auto truncated = wire::compress(content(kChunk), wire::CompressLevel::max).bytes;
    truncated.resize(truncated.size() / 2);
    const Case cases[] = {
        {"corrupt zlib", 1, garbage, true},
        {"truncated zlib", 1, truncated, true},
        {"inflates past 1024", 1, packed_1025.bytes, true},
        {"plain 1025 bytes", 1, Bytes(1025, 'x'), false},
        {"index at the declared size", 3, Bytes(1, 'x'), false},
        {"index far beyond", 0x7FFFFFFF, Bytes(1, 'x'), false},
        {"last chunk too long", 2, Bytes(2, 'x'), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        old_file("save.dat", "old contents");
        ASSERT_EQ(start("save.dat", 2049), Start::active);
        ASSERT_EQ(send(content(2049), 0), Chunk::stored);
        EXPECT_EQ(up.chunk(kId, c.index, c.payload, c.compressed), Chunk::failed);
        EXPECT_FALSE(up.active());
        EXPECT_EQ(dir.read_file("alice/save.dat"), "old contents");
        EXPECT_EQ(temp_files(), std::vector<std::string>{});
        EXPECT_EQ(send(content(2049), 1), Chunk::ignored);
        EXPECT_EQ(up.end(kId), End::ignored);
    }
}

TEST_F(UploadTest, ChunksOfNoActiveUploadAreIgnored) {
    const Bytes data = content(2 * kChunk);
    EXPECT_EQ(send(data, 0), Chunk::ignored);
    EXPECT_EQ(up.end(kId), End::ignored);
    ASSERT_EQ(start("save.dat", data.size()), Start::active);
    EXPECT_EQ(send(data, 0, kId + 1), Chunk::ignored);
    EXPECT_EQ(up.end(kId + 1), End::ignored);
    EXPECT_EQ(up.chunk(kId, -1, chunk_of(data, 0), false), Chunk::ignored);
    EXPECT_TRUE(up.active());
    EXPECT_EQ(send(data, 0), Chunk::stored);
    EXPECT_EQ(send(data, 0), Chunk::ignored);
    EXPECT_EQ(send(data, 1), Chunk::complete);
}

// Every step that can fail on the way to the finished file, met on the last
// chunk: the upload fails and the previous version is left byte for byte.
TEST_F(UploadTest, FailingStorageFailsTheUploadAndKeepsTheOldFile) {
    struct Case {
        const char* name;
        std::uint32_t kind;
    };
    const Case cases[] = {
        {"write", pf::testing::FaultyEnv::kWrite},
        {"date", pf::testing::FaultyEnv::kSetMeta},
        {"sync", pf::testing::FaultyEnv::kSync},
        {"rename", pf::testing::FaultyEnv::kRename},
    };
    const Bytes old = content(5000, 3);
    const Bytes data = content(2049);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        old_file("save.dat", text(old));
        pf::testing::FaultyEnv faulty(env);
        ASSERT_EQ(up.start(faulty, root(), "save.dat", data.size(), 0x20, kDosDate, kId),
                  Start::active);
        ASSERT_EQ(send(data, 0), Chunk::stored);
        ASSERT_EQ(send(data, 1), Chunk::stored);
        faulty.fail_at(1, ENOSPC, pf::testing::FaultyEnv::Mode::once, c.kind);
        EXPECT_EQ(send(data, 2), Chunk::failed);
        EXPECT_EQ(faulty.failures(), 1u);
        EXPECT_FALSE(up.active());
        EXPECT_EQ(dir.read_file("alice/save.dat"), text(old));
        EXPECT_EQ(temp_files(), std::vector<std::string>{});
    }
}

TEST_F(UploadTest, FailingCreateRefusesTheStart) {
    old_file("save.dat", "old");
    pf::testing::FaultyEnv faulty(env);
    faulty.fail_at(1, EACCES, pf::testing::FaultyEnv::Mode::once, pf::testing::FaultyEnv::kOpen);
    EXPECT_EQ(up.start(faulty, root(), "save.dat", 10, 0x20, kDosDate, kId), Start::refused);
    EXPECT_FALSE(up.active());
    EXPECT_EQ(dir.read_file("alice/save.dat"), "old");
}

TEST_F(UploadTest, AbandonLeavesTheOldFile) {
    const Bytes data = content(3 * kChunk);
    old_file("save.dat", "old");
    {
        Upload scoped;
        ASSERT_EQ(scoped.start(env, root(), "save.dat", data.size(), 0x20, kDosDate, kId),
                  Start::active);
        ASSERT_EQ(scoped.chunk(kId, 0, chunk_of(data, 0), false), Chunk::stored);
        EXPECT_EQ(temp_files().size(), 1u);
    }  // a disconnect
    EXPECT_EQ(temp_files(), std::vector<std::string>{});
    EXPECT_EQ(dir.read_file("alice/save.dat"), "old");

    ASSERT_EQ(start("save.dat", data.size()), Start::active);
    ASSERT_EQ(send(data, 0), Chunk::stored);
    up.abandon();  // a stop request
    EXPECT_FALSE(up.active());
    EXPECT_EQ(send(data, 1), Chunk::ignored);
    EXPECT_EQ(temp_files(), std::vector<std::string>{});
    EXPECT_EQ(dir.read_file("alice/save.dat"), "old");
}

TEST_F(UploadTest, SecondStartAbandonsTheFirst) {
    const Bytes first = content(2 * kChunk, 1);
    const Bytes second = content(2 * kChunk, 2);
    old_file("a.sav", "old a");
    ASSERT_EQ(start("a.sav", first.size(), 0x20, kDosDate, 1), Start::active);
    ASSERT_EQ(send(first, 0, 1), Chunk::stored);

    ASSERT_EQ(start("b.sav", second.size(), 0x20, kDosDate, 2), Start::active);
    EXPECT_EQ(temp_files().size(), 1u);
    EXPECT_EQ(send(first, 1, 1), Chunk::ignored);
    EXPECT_EQ(dir.read_file("alice/a.sav"), "old a");

    // The same target again starts from nothing.
    ASSERT_EQ(start("a.sav", second.size(), 0x20, kDosDate, 3), Start::active);
    EXPECT_EQ(send(second, 1, 3), Chunk::stored);
    EXPECT_EQ(send(second, 0, 3), Chunk::ignored);
    ASSERT_EQ(up.end(3), End::missing);
    EXPECT_EQ(send(second, 0, 3), Chunk::complete);
    EXPECT_EQ(dir.read_file("alice/a.sav"), text(second));
    EXPECT_FALSE(fs::exists(at("b.sav")));
    EXPECT_EQ(temp_files(), std::vector<std::string>{});
}

TEST_F(UploadTest, ReadOnlyFileIsReplacedOnlyAtCompletion) {
    const Bytes data = content(1500);
    old_file("save.dat", "old");
    ASSERT_FALSE(env.set_attributes(at("save.dat"), pf::attr::kReadOnly));
    std::error_code ec;

    // Uploaded read-only, so the second round meets a file read-only by our hand.
    for (const std::uint32_t attributes : {pf::attr::kReadOnly, pf::attr::kArchive}) {
        SCOPED_TRACE(attributes);
        ASSERT_EQ(start("save.dat", data.size(), attributes), Start::active);
        ASSERT_EQ(send(data, 0), Chunk::stored);
        EXPECT_EQ(env.attributes(at("save.dat"), ec) & pf::attr::kReadOnly, pf::attr::kReadOnly);
        ASSERT_EQ(send(data, 1), Chunk::complete);
        EXPECT_EQ(dir.read_file("alice/save.dat"), text(data));
        EXPECT_EQ(env.attributes(at("save.dat"), ec), attributes);
    }
}

TEST_F(UploadTest, RefusedStartsCreateNothing) {
    struct Case {
        const char* wire_path;
        std::uint64_t size;
    };
    const Case cases[] = {
        {"..\\x", 10},
        {"a\\..\\..\\x", 10},
        {"c:\\x", 10},
        {"", 10},  // the user's folder itself
        {"\\", 10},
        {"folder", 10},              // an existing folder
        {"plain.txt\\x", 10},        // a file where a folder should be
        {".save.dat.rkupload", 10},  // the temporary file of another upload
        {"sub\\.X.RKUPLOAD", 10},
        {"save.dat", kMaxUploadSize + 1},
        {"save.dat", ~std::uint64_t{0}},
    };
    dir.make_dir("alice/folder");
    dir.make_dir("alice/sub");
    old_file("plain.txt", "p");
    old_file("save.dat", "old");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.wire_path);
        EXPECT_EQ(start(c.wire_path, c.size), Start::refused);
        EXPECT_FALSE(up.active());
        EXPECT_EQ(temp_files(), std::vector<std::string>{});
        EXPECT_FALSE(fs::exists(dir.path("x")));
    }
    EXPECT_EQ(dir.read_file("alice/save.dat"), "old");
    EXPECT_TRUE(fs::is_directory(at("folder")));
}

TEST_F(UploadTest, RefusedStartStillAbandonsTheRunningUpload) {
    old_file("save.dat", "old");
    ASSERT_EQ(start("save.dat", 2000), Start::active);
    EXPECT_EQ(start("..\\x", 10), Start::refused);
    EXPECT_EQ(temp_files(), std::vector<std::string>{});
    EXPECT_EQ(dir.read_file("alice/save.dat"), "old");
}

TEST_F(UploadTest, MissingFoldersAreCreated) {
    const Bytes data = content(10);
    ASSERT_FALSE(fs::exists(root()));
    ASSERT_EQ(start("Game\\slot 1\\save.dat", data.size()), Start::active);
    EXPECT_TRUE(fs::is_directory(at("Game/slot 1")));
    EXPECT_EQ(send(data, 0), Chunk::complete);
    EXPECT_EQ(dir.read_file("alice/Game/slot 1/save.dat"), text(data));
}

TEST_F(UploadTest, SameTargetOnAnotherConnectionIsRefusedWhileOneRuns) {
    const Bytes data = content(1500);
    old_file("save.dat", "old");
    ASSERT_EQ(start("save.dat", data.size()), Start::active);
    ASSERT_EQ(send(data, 0), Chunk::stored);

    Upload other;
    EXPECT_EQ(other.start(env, root(), "save.dat", 10, 0x20, kDosDate, 5), Start::refused);
    EXPECT_EQ(send(data, 1), Chunk::complete);
    EXPECT_EQ(dir.read_file("alice/save.dat"), text(data));
}

TEST_F(UploadTest, PlantedLinkAtTheTemporaryNameIsNotFollowed) {
    dir.make_dir("alice");
    dir.write_file("outside", "keep me");
    dir.symlink(dir.path("outside"), "alice/.save.dat.rkupload");
    EXPECT_EQ(start("save.dat", 10), Start::refused);
    EXPECT_EQ(dir.read_file("outside"), "keep me");
}

TEST(MissingChunksTest, KeepsEachIndexOnceInAscendingOrder) {
    struct Step {
        char op;  // 'i' insert [a, b), 'e' erase a
        std::int64_t a;
        std::int64_t b;
    };
    struct Case {
        const char* name;
        std::vector<Step> steps;
        std::vector<std::int64_t> expected;
    };
    const Case cases[] = {
        {"disjoint", {{'i', 5, 7}, {'i', 0, 2}}, {0, 1, 5, 6}},
        {"overlapping", {{'i', 0, 4}, {'i', 2, 6}}, {0, 1, 2, 3, 4, 5}},
        {"adjacent", {{'i', 0, 2}, {'i', 2, 3}}, {0, 1, 2}},
        {"bridging", {{'i', 0, 2}, {'i', 4, 6}, {'i', 1, 5}}, {0, 1, 2, 3, 4, 5}},
        {"inside", {{'i', 0, 10}, {'i', 3, 4}}, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}},
        {"empty range", {{'i', 3, 3}, {'i', 4, 2}}, {}},
        {"erase splits", {{'i', 0, 5}, {'e', 2, 0}}, {0, 1, 3, 4}},
        {"erase ends", {{'i', 0, 3}, {'e', 0, 0}, {'e', 2, 0}}, {1}},
        {"erase absent", {{'i', 0, 2}, {'e', 7, 0}, {'e', -1, 0}}, {0, 1}},
        {"refill after erase", {{'i', 0, 3}, {'e', 1, 0}, {'i', 1, 2}}, {0, 1, 2}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MissingChunks missing;
        for (const Step& s : c.steps) {
            if (s.op == 'i')
                missing.insert(s.a, s.b);
            else
                missing.erase(s.a);
        }
        EXPECT_EQ(missing.first(100), c.expected);
        EXPECT_EQ(missing.count(), static_cast<std::int64_t>(c.expected.size()));
        EXPECT_EQ(missing.empty(), c.expected.empty());
    }
}

TEST(MissingChunksTest, FirstStopsAtTheLimit) {
    MissingChunks missing;
    missing.insert(0, 3);
    missing.insert(10, 1'000'000'000);
    EXPECT_EQ(missing.first(5), (std::vector<std::int64_t>{0, 1, 2, 10, 11}));
    EXPECT_EQ(missing.count(), 3 + 1'000'000'000 - 10);
}

}  // namespace
}  // namespace rk::files
