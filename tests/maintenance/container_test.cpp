#include "maintenance/container.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "container_bytes.h"

namespace rk::maintenance {
namespace {

using testing::Bytes;
using testing::SaveFile;

std::vector<SaveFile> files_of(const DecodedContainer& decoded) {
    std::vector<SaveFile> files;
    for (const ContainerEntry& entry : decoded.entries) {
        const auto bytes = decoded.bytes_of(entry);
        files.push_back({entry.name, std::string(bytes.begin(), bytes.end())});
    }
    return files;
}

const std::vector<SaveFile> kSaves = {
    {"\\game.sav", "level 7, 300 gold"},
    {"\\a\\b\\c.sav", std::string(5000, 'x') + "tail"},
    {"\\empty.dat", ""},
    {"\\bin.dat", std::string("\0\1\2\0\xff", 5)},
};

TEST(DecodeContainer, WholeFileFormGivesEveryEntryInOrder) {
    const DecodedContainer decoded = decode_container(testing::whole_file_container(kSaves), {});
    ASSERT_TRUE(decoded.ok()) << decoded.status.to_string();
    EXPECT_EQ(decoded.form, ContainerForm::whole_file);
    EXPECT_EQ(files_of(decoded), kSaves);
}

TEST(DecodeContainer, PerEntryFormGivesEveryEntryInOrder) {
    const DecodedContainer decoded = decode_container(testing::per_entry_container(kSaves), {});
    ASSERT_TRUE(decoded.ok()) << decoded.status.to_string();
    EXPECT_EQ(decoded.form, ContainerForm::per_entry);
    EXPECT_EQ(files_of(decoded), kSaves);
}

TEST(DecodeContainer, StoredLengthOfZeroOrLessIsAnEmptyFileAndTheNextEntryFollows) {
    for (const std::int32_t stored : {0, -1, INT32_MIN}) {
        const Bytes block = testing::zlib("after");
        Bytes bytes;
        testing::put_per_entry(bytes, "\\nothing", {}, stored, 99);
        testing::put_per_entry(bytes, "\\next", block, static_cast<std::int32_t>(block.size()));
        const DecodedContainer decoded = decode_container(bytes, {});
        ASSERT_TRUE(decoded.ok()) << stored << ": " << decoded.status.to_string();
        EXPECT_EQ(files_of(decoded),
                  (std::vector<SaveFile>{{"\\nothing", ""}, {"\\next", "after"}}))
            << stored;
    }
}

TEST(DecodeContainer, EmptyContainersHoldNoEntries) {
    const Bytes inflating_to_nothing = testing::zlib("");
    for (const Bytes& bytes : {Bytes{}, inflating_to_nothing}) {
        const DecodedContainer decoded = decode_container(bytes, {});
        ASSERT_TRUE(decoded.ok()) << decoded.status.to_string();
        EXPECT_TRUE(decoded.entries.empty());
    }
}

struct DamageCase {
    const char* what;
    std::function<Bytes()> bytes;
    ContainerLimits limits;
};

ContainerLimits small_limits() {
    ContainerLimits limits;
    limits.max_container_bytes = 4096;
    limits.max_entry_bytes = 1000;
    limits.max_content_bytes = 1500;
    return limits;
}

TEST(DecodeContainer, DamageOrLiesRejectTheWholeContainer) {
    const std::vector<DamageCase> cases = {
        {"whole-file stream cut short",
         [] {
             Bytes b = testing::whole_file_container(kSaves);
             b.resize(b.size() / 2);
             return b;
         },
         {}},
        {"whole-file entry claims more bytes than follow",
         [] {
             Bytes run = testing::whole_file_run({{"\\a", "abc"}});
             run[3] = 200;  // the low byte of the declared size, right after "\a\0"
             return wire::compress(run, wire::CompressLevel::normal).bytes;
         },
         {}},
        {"whole-file entry claims more than 4 GiB",
         [] {
             Bytes run = testing::whole_file_run({{"\\a", "abc"}});
             run[7] = 1;  // bit 32 of the declared size
             return wire::compress(run, wire::CompressLevel::normal).bytes;
         },
         {}},
        {"whole-file name runs to the end",
         [] {
             Bytes run = testing::whole_file_run({{"\\a", "abc"}});
             testing::put_text(run, "\\unterminated");
             return wire::compress(run, wire::CompressLevel::normal).bytes;
         },
         {}},
        {"whole-file header cut short",
         [] {
             Bytes run = testing::whole_file_run({{"\\a", "abc"}});
             testing::put_text(run, std::string("\\b\0\5\0\0", 6));
             return wire::compress(run, wire::CompressLevel::normal).bytes;
         },
         {}},
        {"per-entry stored length past the end",
         [] {
             Bytes b;
             testing::put_per_entry(b, "\\a", testing::zlib("abc"), 5000);
             return b;
         },
         {}},
        {"per-entry block that is not zlib",
         [] {
             Bytes b;
             testing::put_per_entry(b, "\\a", Bytes{1, 2, 3, 4, 5}, 5);
             return b;
         },
         {}},
        {"per-entry container cut inside a block",
         [] {
             Bytes b = testing::per_entry_container(kSaves);
             b.resize(b.size() - 3);
             return b;
         },
         {}},
        {"per-entry header cut short",
         [] {
             Bytes b = testing::per_entry_container({{"\\a", "abc"}});
             testing::put_text(b, std::string("\\b\0\1\2\3", 6));
             return b;
         },
         {}},
        {"entry inflating past the entry cap",
         [] {
             return testing::per_entry_container({{"\\big", std::string(1001, 'z')}});
         },
         small_limits()},
        {"whole-file entry past the entry cap",
         [] {
             return testing::whole_file_container({{"\\big", std::string(1001, 'z')}});
         },
         small_limits()},
        {"entries together past the content cap",
         [] {
             return testing::per_entry_container(
                 {{"\\a", std::string(800, 'a')}, {"\\b", std::string(800, 'b')}});
         },
         small_limits()},
        {"whole-file run inflating far past the content cap",
         [] {
             return testing::whole_file_container({{"\\a", std::string(100000, 'a')}});
         },
         small_limits()},
        {"container past the file cap",
         [] {
             Bytes b;
             for (int i = 0; i < 400; ++i) testing::put_per_entry(b, "\\e", {}, 0);
             return b;
         },
         small_limits()},
    };
    for (const DamageCase& c : cases) {
        const DecodedContainer decoded = decode_container(c.bytes(), c.limits);
        EXPECT_FALSE(decoded.ok()) << c.what;
        EXPECT_TRUE(decoded.entries.empty()) << c.what;
    }
}

TEST(EntryPath, AcceptsNamesInsideTheSlotFolder) {
    struct Case {
        const char* name;
        std::vector<std::string> parts;
    };
    const std::vector<Case> cases = {
        {"\\game.sav", {"game.sav"}},   {"\\a\\b\\c.sav", {"a", "b", "c.sav"}},
        {"/a/b", {"a", "b"}},           {"\\a\\\\.\\b", {"a", "b"}},
        {"\\..a\\b..", {"..a", "b.."}}, {"\\\xb4\xe6\xb5\xb5.sav", {"\xb4\xe6\xb5\xb5.sav"}},
    };
    for (const Case& c : cases) {
        const EntryPath path = entry_path(c.name);
        EXPECT_TRUE(path.ok()) << c.name << ": " << path.status.to_string();
        EXPECT_EQ(path.parts, c.parts) << c.name;
    }
}

TEST(EntryPath, RefusesNamesThatLeaveTheSlotFolderOrNameNoFile) {
    const std::vector<std::string> names = {
        "",
        "game.sav",  // would land beside the slot folder
        "..\\x",
        "\\..\\x",
        "\\a\\..\\..\\x",
        "/etc/../../x",
        "\\C:\\x",
        "\\c:x",
        "\\a:stream",
        "\\",
        "\\\\",
        "\\.",
        "\\a\\",
        std::string("\\a\nb"),
        std::string("\\a\x7f"),
        "\\" + std::string(256, 'n'),
    };
    for (const std::string& name : names) {
        EXPECT_FALSE(entry_path(name).ok()) << name;
    }
}

}  // namespace
}  // namespace rk::maintenance
