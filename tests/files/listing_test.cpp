#include "files/listing.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "file_times.h"
#include "testing/temp_dir.h"

namespace rk::files {
namespace {

namespace fs = std::filesystem;
namespace pf = rk::platform;
using rk::files::testing::LocalTime;
using rk::files::testing::set_mtime;
using namespace std::string_literals;

struct FileRecord {
    std::uint64_t size = 0;
    std::uint32_t attributes = 0;
    std::uint32_t dos_time = 0;
    std::string path;
    bool operator==(const FileRecord&) const = default;
};

struct FolderRecord {
    std::string path;
    std::uint32_t total = 0;
    bool operator==(const FolderRecord&) const = default;
};

std::ostream& operator<<(std::ostream& out, const FileRecord& r) {
    return out << "{" << r.path << " size " << r.size << " attr " << r.attributes << " date "
               << r.dos_time << "}";
}
std::ostream& operator<<(std::ostream& out, const FolderRecord& r) {
    return out << "{" << r.path << " total " << r.total << "}";
}

struct Decoded {
    std::vector<FileRecord> files;
    std::vector<FolderRecord> folders;
};

// Reads a listing the way a client does, knowing the file count from the
// header; anything malformed, missing or left over fails the test.
Decoded decode(const Listing& listing) {
    Decoded decoded;
    const auto& b = listing.bytes;
    std::size_t at = 0;
    auto need = [&](std::size_t n) {
        if (b.size() - at < n)
            throw std::runtime_error("listing cut short at " + std::to_string(at));
    };
    auto u32 = [&] {
        need(4);
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v |= std::uint32_t(b[at++]) << (8 * i);
        return v;
    };
    auto zstr = [&] {
        std::string text;
        while (true) {
            need(1);
            if (b[at] == 0) break;
            text.push_back(char(b[at++]));
        }
        ++at;
        return text;
    };
    if (b.empty()) return decoded;
    for (std::int32_t i = 0; i < listing.file_count; ++i) {
        need(1);
        EXPECT_EQ(b[at], 0) << "record type of file " << i;
        ++at;
        FileRecord r;
        r.size = u32();
        r.size |= std::uint64_t(u32()) << 32;
        r.attributes = u32();
        r.dos_time = u32();
        r.path = zstr();
        decoded.files.push_back(r);
    }
    const std::string text = zstr();
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = text.find("\r\n", start);
        if (end == std::string::npos) throw std::runtime_error("folder line without CR LF");
        decoded.folders.push_back({text.substr(start, end - start), 0});
        start = end + 2;
    }
    for (FolderRecord& folder : decoded.folders) folder.total = u32();
    EXPECT_EQ(at, b.size()) << "bytes left over after the folder totals";
    return decoded;
}

class ListingTest : public ::testing::Test {
protected:
    pf::Env& env = pf::Env::host();
    rk::platform::testing::TempDir dir;
    const std::string root = dir.path("alice");

    ListingTest() { dir.make_dir("alice"); }

    void file(const std::string& relative, std::size_t size,
              LocalTime when = {2021, 6, 15, 10, 20, 30}) {
        fs::create_directories(fs::path(dir.path("alice/" + relative)).parent_path());
        dir.write_file("alice/" + relative, std::string(size, 'x'));
        set_mtime(dir.path("alice/" + relative), when);
    }

    // What a listing must say of a file on disk.
    FileRecord expected(const std::string& relative, const std::string& listed_as,
                        std::uint64_t size, LocalTime when) {
        std::error_code ec;
        const std::uint32_t attributes = env.attributes(dir.path("alice/" + relative), ec);
        EXPECT_FALSE(ec);
        return {size, attributes, when.dos(), listed_as};
    }

    Listing list(std::string_view wire_path, const WalkControl& control = {}) {
        Listing listing = build_listing(env, root, wire_path, control);
        EXPECT_TRUE(listing.exists()) << wire_path;
        return listing;
    }
};

TEST_F(ListingTest, FilesComeWhereTheirFolderIsMetAndFoldersAfterTheirContents) {
    const LocalTime t1{2021, 6, 15, 10, 20, 30}, t2{1999, 12, 31, 23, 59, 58},
        t3{2010, 1, 1, 0, 0, 0}, t4{2030, 7, 4, 12, 0, 2};
    file("a.txt", 3, t1);
    file("b/c.bin", 10, t2);
    file("b/d/e.txt", 5, t3);
    dir.make_dir("alice/b2");
    file("z.txt", 1, t4);
    fs::permissions(dir.path("alice/z.txt"), fs::perms::owner_read | fs::perms::group_read);

    const Listing listing = list("");
    ASSERT_EQ(listing.file_count, 4);
    const Decoded decoded = decode(listing);
    EXPECT_EQ(decoded.files, (std::vector<FileRecord>{
                                 expected("a.txt", "\\a.txt", 3, t1),
                                 expected("b/c.bin", "\\b\\c.bin", 10, t2),
                                 expected("b/d/e.txt", "\\b\\d\\e.txt", 5, t3),
                                 expected("z.txt", "\\z.txt", 1, t4),
                             }));
    EXPECT_NE(decoded.files[3].attributes & pf::attr::kReadOnly, 0u);
    EXPECT_EQ(decoded.folders, (std::vector<FolderRecord>{
                                   {"\\b\\d", 5},
                                   {"\\b", 15},
                                   {"\\b2", 0},
                               }));
}

TEST_F(ListingTest, PathsAreRelativeToTheListedFolderHoweverItIsSpelt) {
    file("top.txt", 2);
    file("Sub/c.bin", 10);
    file("Sub/d/e.txt", 5);
    const std::vector<FolderRecord> whole = {{"\\Sub\\d", 5}, {"\\Sub", 15}};
    const std::vector<FolderRecord> sub = {{"\\d", 5}};
    struct Case {
        std::string wire_path;
        std::vector<std::string> files;
        std::vector<FolderRecord> folders;
    };
    const Case cases[] = {
        {"", {"\\Sub\\c.bin", "\\Sub\\d\\e.txt", "\\top.txt"}, whole},
        {"\\", {"\\Sub\\c.bin", "\\Sub\\d\\e.txt", "\\top.txt"}, whole},
        {"\\Sub", {"\\c.bin", "\\d\\e.txt"}, sub},
        {"sub\\", {"\\c.bin", "\\d\\e.txt"}, sub},
        {"/SUB/", {"\\c.bin", "\\d\\e.txt"}, sub},
        {"\\sub\\D", {"\\e.txt"}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("wire path " + c.wire_path);
        const Listing listing = list(c.wire_path);
        const Decoded decoded = decode(listing);
        std::vector<std::string> paths;
        for (const FileRecord& r : decoded.files) paths.push_back(r.path);
        EXPECT_EQ(paths, c.files);
        EXPECT_EQ(decoded.folders, c.folders);
    }
}

TEST_F(ListingTest, EmptyFolderGivesNoBytesAtAll) {
    const Listing listing = list("");
    EXPECT_EQ(listing.file_count, 0);
    EXPECT_TRUE(listing.bytes.empty());
}

TEST_F(ListingTest, FoldersOnlyGiveTheFolderSectionWithZeroTotals) {
    dir.make_dir("alice/x/y");
    dir.make_dir("alice/w");
    const Listing listing = list("");
    EXPECT_EQ(listing.file_count, 0);
    const std::string text = "\\w\r\n\\x\\y\r\n\\x\r\n"s + '\0' + std::string(12, '\0');
    EXPECT_EQ(std::string(listing.bytes.begin(), listing.bytes.end()), text);
}

TEST_F(ListingTest, SlotRecordsAreLeftOutInAnyCaseButLongerNamesAreListed) {
    file("g/1/docdate.Syn", 0);
    file("g/1/DOCDATE.SYN.bak", 4);
    file("g/2/DOCDATE.SYN", 0);
    file("DocDate.syn", 0);
    file("XDOCDATE.SYN", 1);
    const Decoded decoded = decode(list(""));
    ASSERT_EQ(decoded.files.size(), 2u);
    EXPECT_EQ(decoded.files[0].path, "\\XDOCDATE.SYN");
    EXPECT_EQ(decoded.files[1].path, "\\g\\1\\DOCDATE.SYN.bak");
    EXPECT_EQ(decoded.folders,
              (std::vector<FolderRecord>{{"\\g\\1", 4}, {"\\g\\2", 0}, {"\\g", 4}}));
}

TEST_F(ListingTest, RecycleFoldersAreNeitherEnteredNorReportedAtAnyDepth) {
    file("g/recycler/x.sav", 7);
    file("g/Recycled/deep/y.sav", 7);
    file("g/keep.sav", 1);
    file("RECYCLEDX/z.sav", 2);
    file("RECYCLED", 3);  // a file of that name is an ordinary file
    const Decoded decoded = decode(list(""));
    std::vector<std::string> paths;
    for (const FileRecord& r : decoded.files) paths.push_back(r.path);
    EXPECT_EQ(paths,
              (std::vector<std::string>{"\\RECYCLED", "\\RECYCLEDX\\z.sav", "\\g\\keep.sav"}));
    EXPECT_EQ(decoded.folders, (std::vector<FolderRecord>{{"\\RECYCLEDX", 2}, {"\\g", 1}}));
}

TEST_F(ListingTest, NameBytesAreKeptAsOnDisk) {
    file("Save\xC4\xE9/Game.SAV", 1);
    const Decoded decoded = decode(list(""));
    ASSERT_EQ(decoded.files.size(), 1u);
    EXPECT_EQ(decoded.files[0].path, "\\Save\xC4\xE9\\Game.SAV");
    EXPECT_EQ(decoded.folders, (std::vector<FolderRecord>{{"\\Save\xC4\xE9", 1}}));
}

TEST_F(ListingTest, FolderWithALineEndInItsNameKeepsTheTotalsAligned) {
    file("a\r\nb/x.sav", 2);
    file("c/y.sav", 3);
    const Decoded decoded = decode(list(""));
    ASSERT_EQ(decoded.files.size(), 2u);
    EXPECT_EQ(decoded.files[0].path, "\\a\r\nb\\x.sav");
    EXPECT_EQ(decoded.folders, (std::vector<FolderRecord>{{"\\c", 3}}));
}

TEST_F(ListingTest, RelativePathsAreCutTo1024Bytes) {
    std::string on_disk, listed;
    for (char c : {'a', 'b', 'c', 'd', 'e', 'f'}) {
        on_disk += std::string(200, c) + "/";
        listed += "\\" + std::string(200, c);
    }
    file(on_disk + "f.sav", 1);
    const Decoded decoded = decode(list(""));
    ASSERT_EQ(decoded.files.size(), 1u);
    EXPECT_EQ(decoded.files[0].path, (listed + "\\f.sav").substr(0, 1024));
    ASSERT_EQ(decoded.folders.size(), 6u);
    EXPECT_EQ(decoded.folders[0].path, listed.substr(0, 1024));
    EXPECT_EQ(decoded.folders[5].path, listed.substr(0, 201));
}

TEST_F(ListingTest, NoFolderToListIsToldApartFromAnEmptyOne) {
    file("a.txt", 1);
    dir.make_dir("alice2/x");
    dir.make_dir("outside");
    dir.symlink(dir.path("outside"), "alice/out");
    dir.symlink("b", "alice/inner");
    dir.make_dir("alice/b");
    for (const std::string& wire_path :
         std::vector<std::string>{"\\missing", "\\missing\\deeper", "\\a.txt", "..", "\\..\\alice2",
                                  "\\b\\..\\..\\alice2", "\\out", "\\inner", "c:\\", "a\0b"s}) {
        SCOPED_TRACE("wire path " + wire_path);
        const Listing listing = build_listing(env, root, wire_path, {});
        EXPECT_FALSE(listing.exists());
        EXPECT_EQ(listing.file_count, 0);
        EXPECT_TRUE(listing.bytes.empty());
    }
    EXPECT_FALSE(build_listing(env, dir.path("nobody"), "", {}).exists());
}

TEST_F(ListingTest, NoFolderToListSaysWhy) {
    file("a.txt", 1);
    dir.make_dir("outside");
    dir.symlink(dir.path("outside"), "alice/out");
    dir.make_dir("alice/b");
    dir.symlink("b", "alice/inner");
    using Code = platform::IoStatus::Code;
    const std::pair<std::string, Code> cases[] = {
        {"\\missing\\deeper", Code::not_found},
        {"\\a.txt", Code::not_a_folder},
        {"\\inner", Code::not_a_folder},  // a link below the user's folder is no folder
        {"\\..\\alice2", Code::refused_path},
        {"\\out", Code::refused_path},
    };
    for (const auto& [wire_path, code] : cases) {
        const Listing listing = build_listing(env, root, wire_path, {});
        EXPECT_EQ(listing.status.code(), code) << wire_path << ": " << listing.status.to_string();
    }
}

TEST_F(ListingTest, UsersFolderThatIsALinkIsListed) {
    dir.make_dir("real");
    dir.write_file("real/game.sav", "abc");
    dir.symlink(dir.path("real"), "linked");
    const Listing listing = build_listing(env, dir.path("linked"), "", {});
    ASSERT_TRUE(listing.exists());
    const Decoded decoded = decode(listing);
    ASSERT_EQ(decoded.files.size(), 1u);
    EXPECT_EQ(decoded.files[0].path, "\\game.sav");
}

TEST_F(ListingTest, StopEndsTheWalkAtTheNextFolderAndKeepsWhatWasGathered) {
    file("a.txt", 1);
    file("d1/f1", 2);
    file("d2/f2", 3);
    file("z.txt", 4);
    int asked = 0;
    const Listing listing =
        list("", {.stop_requested = [&] { return ++asked > 1; }, .take_scan_unit = {}});
    EXPECT_EQ(asked, 2);
    EXPECT_EQ(listing.file_count, 2);
    const Decoded decoded = decode(listing);
    ASSERT_EQ(decoded.files.size(), 2u);
    EXPECT_EQ(decoded.files[0].path, "\\a.txt");
    EXPECT_EQ(decoded.files[1].path, "\\d1\\f1");
    EXPECT_EQ(decoded.folders, (std::vector<FolderRecord>{{"\\d1", 2}}));
}

TEST_F(ListingTest, TakesOneScanUnitPerListedFile) {
    file("a.txt", 1);
    file("d/DOCDATE.SYN", 0);
    file("d/e/f.txt", 1);
    int units = 0;
    const Listing listing =
        list("", {.stop_requested = {}, .take_scan_unit = [&] { return ++units, true; }});
    EXPECT_EQ(listing.file_count, 2);
    EXPECT_EQ(units, 2);
}

TEST_F(ListingTest, RefusedScanUnitEndsTheListing) {
    file("a.txt", 1);
    file("b.txt", 1);
    file("c.txt", 1);
    file("d/e.txt", 1);
    int units = 0;
    int asked = 0;
    const Listing listing = list("", {.stop_requested = [&] { return ++asked, false; },
                                      .take_scan_unit = [&] { return ++units < 2; }});
    EXPECT_EQ(units, 2);
    EXPECT_EQ(asked, 0) << "the walk went on to folder d";
    EXPECT_EQ(listing.file_count, 2);
    const Decoded decoded = decode(listing);
    EXPECT_EQ(decoded.files.size(), 2u);
    EXPECT_TRUE(decoded.folders.empty());
}

}  // namespace
}  // namespace rk::files
