#include "maintenance/conversion.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "../files/file_times.h"
#include "container_bytes.h"
#include "testing/faulty_env.h"
#include "testing/temp_dir.h"

namespace rk::maintenance {
namespace {

namespace fs = std::filesystem;
namespace pf = rk::platform;
using files::testing::LocalTime;
using platform::testing::TempDir;
using testing::Bytes;
using testing::SaveFile;

std::set<std::string> tree(const std::string& root) {
    std::set<std::string> paths;
    for (const auto& entry : fs::recursive_directory_iterator(root))
        paths.insert(entry.path().lexically_relative(root).string());
    return paths;
}

std::time_t mtime_of(const std::string& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) return -1;
    return info.st_mtime;
}

// One container of the fixture and the slot it must become.
struct Container {
    std::string path;  // relative to home
    Bytes bytes;
    LocalTime date;
    std::string slot;                          // relative to home
    std::map<std::string, std::string> files;  // relative to the slot
};

class ConversionTest : public ::testing::Test {
protected:
    std::string home() const { return root.path("home"); }
    std::string at(const std::string& relative) const { return home() + "/" + relative; }

    void write(const std::string& relative, const Bytes& bytes) const {
        fs::create_directories(fs::path(at(relative)).parent_path());
        root.write_file("home/" + relative, std::string(bytes.begin(), bytes.end()));
    }
    std::string read(const std::string& relative) const {
        return root.read_file("home/" + relative);
    }

    void add(Container container) {
        write(container.path, container.bytes);
        files::testing::set_mtime(at(container.path), container.date);
        containers.push_back(std::move(container));
    }

    // Two users, both forms, a lower-case name, an empty file and an empty
    // stream, and files no conversion may pick up.
    void build_fixture() {
        const std::vector<SaveFile> first = {{"\\game.sav", "level 7"},
                                             {"\\a\\b\\c.sav", std::string(3000, 'c')},
                                             {"\\empty.dat", ""}};
        add({"alice/game/SV1.DAT",
             testing::whole_file_container(first),
             {2019, 3, 4, 5, 6, 8},
             "alice/game/1",
             {{"game.sav", "level 7"}, {"a/b/c.sav", std::string(3000, 'c')}, {"empty.dat", ""}}});
        const std::vector<SaveFile> second = {{"\\slot2.sav", "second slot"}, {"\\x\\y.bin", "xy"}};
        add({"alice/game/sv2.dat",
             testing::per_entry_container(second),
             {2020, 7, 8, 9, 10, 12},
             "alice/game/2",
             {{"slot2.sav", "second slot"}, {"x/y.bin", "xy"}}});
        Bytes third;
        testing::put_per_entry(third, "\\zero.sav", {}, 0);
        testing::put_per_entry(third, "\\negative.sav", {}, -5);
        const Bytes block = testing::zlib("bob's");
        testing::put_per_entry(third, "\\bob.sav", block, static_cast<std::int32_t>(block.size()));
        add({"bob/g/SV3.DAT",
             third,
             {2018, 12, 31, 23, 59, 58},
             "bob/g/3",
             {{"zero.sav", ""}, {"negative.sav", ""}, {"bob.sav", "bob's"}}});
        add({"bob/empty/SV1.DAT", {}, {2017, 1, 1, 0, 0, 0}, "", {}});
        add({"bob/stream/SV2.DAT", testing::zlib(""), {2017, 1, 1, 0, 0, 0}, "", {}});

        for (const char* other : {"SV1.DAT", "alice/SV1.DAT", "alice/game/SV4.DAT",
                                  "alice/game/deeper/SV1.DAT", "UserInfo.dat"})
            write(other, {'o', 'l', 'd'});
    }

    // The tree a finished conversion leaves: the other files and every slot,
    // each container gone exactly once into its slot.
    std::set<std::string> expected_tree() const {
        std::set<std::string> paths = {"SV1.DAT",
                                       "UserInfo.dat",
                                       "alice",
                                       "alice/SV1.DAT",
                                       "alice/game",
                                       "alice/game/SV4.DAT",
                                       "alice/game/deeper",
                                       "alice/game/deeper/SV1.DAT",
                                       "bob",
                                       "bob/g",
                                       "bob/empty",
                                       "bob/stream"};
        for (const Container& c : containers) {
            if (c.slot.empty()) continue;
            paths.insert(c.slot);
            paths.insert(c.slot + "/DOCDATE.SYN");
            for (const auto& [name, content] : c.files) {
                for (fs::path p = name; !p.empty(); p = p.parent_path())
                    paths.insert(c.slot + "/" + p.string());
            }
        }
        return paths;
    }

    // Whether a container's saves are all in its slot, with its date.
    bool slot_complete(const Container& c) const {
        if (c.slot.empty()) return true;
        for (const auto& [name, content] : c.files) {
            if (!fs::exists(at(c.slot + "/" + name)) || read(c.slot + "/" + name) != content)
                return false;
        }
        return mtime_of(at(c.slot + "/DOCDATE.SYN")) == c.date.to_time_t();
    }

    void expect_converted() const {
        EXPECT_EQ(tree(home()), expected_tree());
        for (const Container& c : containers) EXPECT_TRUE(slot_complete(c)) << c.path;
    }

    ConversionResult convert(pf::Env& env, const JobControl& control = {},
                             const ContainerLimits& limits = {}) {
        return convert_old_saves(env, home(), control, limits);
    }

    TempDir root;
    std::vector<Container> containers;
};

TEST_F(ConversionTest, UnpacksEveryContainerIntoItsDatedSlotAndDeletesIt) {
    build_fixture();
    const ConversionResult result = convert(pf::Env::host());
    EXPECT_TRUE(result.complete());
    EXPECT_EQ(result.containers_found, 5u);
    EXPECT_EQ(result.containers_converted, 5u);
    EXPECT_EQ(result.files_written, 8u);
    expect_converted();
    for (const char* other : {"SV1.DAT", "alice/SV1.DAT", "alice/game/SV4.DAT", "UserInfo.dat"})
        EXPECT_EQ(read(other), "old") << other;
}

TEST_F(ConversionTest, ASecondRunFindsNothingAndChangesNothing) {
    build_fixture();
    ASSERT_TRUE(convert(pf::Env::host()).complete());
    const ConversionResult again = convert(pf::Env::host());
    EXPECT_TRUE(again.complete());
    EXPECT_EQ(again.containers_found, 0u);
    expect_converted();
}

TEST_F(ConversionTest, ExistingSlotKeepsOtherFilesAndGetsOneRecord) {
    add({"u/g/SV1.DAT",
         testing::per_entry_container({{"\\game.sav", "from the container"}}),
         {2019, 1, 2, 3, 4, 6},
         "u/g/1",
         {{"game.sav", "from the container"}}});
    add({"u/g/SV2.DAT", {}, {2016, 5, 6, 7, 8, 10}, "", {}});
    write("u/g/1/game.sav", {'s', 't', 'a', 'l', 'e'});
    write("u/g/1/other.sav", {'o'});
    write("u/g/1/docdate.syn", {});
    fs::create_directories(at("u/g/2"));

    ASSERT_TRUE(convert(pf::Env::host()).complete());
    EXPECT_EQ(read("u/g/1/game.sav"), "from the container");
    EXPECT_EQ(read("u/g/1/other.sav"), "o");
    EXPECT_EQ(mtime_of(at("u/g/1/docdate.syn")), LocalTime({2019, 1, 2, 3, 4, 6}).to_time_t());
    EXPECT_FALSE(fs::exists(at("u/g/1/DOCDATE.SYN")));
    // An empty container still dates a slot folder that was there already.
    EXPECT_EQ(mtime_of(at("u/g/2/DOCDATE.SYN")), LocalTime({2016, 5, 6, 7, 8, 10}).to_time_t());
}

TEST_F(ConversionTest, HostileNamesAreRefusedTheRestConvertedAndTheContainerKept) {
    const std::vector<SaveFile> files = {
        {"\\good.sav", "good"},
        {"..\\escape1", "x"},
        {"\\..\\..\\escape2", "x"},
        {"\\a\\..\\..\\..\\escape3", "x"},
        {"C:\\escape4", "x"},
        {"\\a:stream", "x"},
        {"plain", "x"},
        {"/etc/passwd", "stays inside"},
        {"\\sub\\ok.sav", "ok"},
    };
    for (const bool whole : {true, false}) {
        SCOPED_TRACE(whole ? "whole-file" : "per-entry");
        fs::remove_all(home());
        const Bytes bytes =
            whole ? testing::whole_file_container(files) : testing::per_entry_container(files);
        write("u/g/SV1.DAT", bytes);

        const ConversionResult result = convert(pf::Env::host());
        EXPECT_FALSE(result.complete());
        std::set<std::string> refused;
        for (const ConversionProblem& p : result.problems) {
            EXPECT_EQ(p.kind, ProblemKind::refused) << p.entry << ": " << p.status.to_string();
            EXPECT_EQ(p.path, at("u/g/SV1.DAT"));
            refused.insert(p.entry);
        }
        EXPECT_EQ(refused, (std::set<std::string>{"..\\escape1", "\\..\\..\\escape2",
                                                  "\\a\\..\\..\\..\\escape3", "C:\\escape4",
                                                  "\\a:stream", "plain"}));
        EXPECT_EQ(read("u/g/1/good.sav"), "good");
        EXPECT_EQ(read("u/g/1/sub/ok.sav"), "ok");
        EXPECT_EQ(read("u/g/1/etc/passwd"), "stays inside");
        EXPECT_EQ(read("u/g/SV1.DAT"), std::string(bytes.begin(), bytes.end()));
        // Nothing anywhere outside the slot folder but the container.
        EXPECT_EQ(tree(root.path()),
                  (std::set<std::string>{
                      "home", "home/u", "home/u/g", "home/u/g/SV1.DAT", "home/u/g/1",
                      "home/u/g/1/DOCDATE.SYN", "home/u/g/1/good.sav", "home/u/g/1/sub",
                      "home/u/g/1/sub/ok.sav", "home/u/g/1/etc", "home/u/g/1/etc/passwd"}));
    }
}

TEST_F(ConversionTest, DamagedContainersAreKeptWhole) {
    struct Case {
        const char* what;
        Bytes bytes;
        ContainerLimits limits;
    };
    Bytes truncated = testing::whole_file_container({{"\\a.sav", std::string(4000, 'a')}});
    truncated.resize(truncated.size() / 2);
    Bytes lying;
    testing::put_per_entry(lying, "\\a.sav", testing::zlib("abc"), 1 << 30);
    ContainerLimits tiny;
    tiny.max_container_bytes = 16;
    ContainerLimits small_entries;
    small_entries.max_entry_bytes = 100;
    const std::vector<Case> cases = {
        {"truncated stream", truncated, {}},
        {"stored length past the end", lying, {}},
        {"larger than the file cap",
         testing::per_entry_container({{"\\a.sav", std::string(500, 'q')}}), tiny},
        {"inflates past the entry cap",
         testing::per_entry_container({{"\\a.sav", std::string(101, 'q')}}), small_entries},
    };
    for (const Case& c : cases) {
        fs::remove_all(home());
        write("u/g/SV1.DAT", c.bytes);
        // Small enough for every limit: the others go on being converted.
        write("u/g/SV2.DAT", {});
        const ConversionResult result = convert(pf::Env::host(), {}, c.limits);
        EXPECT_FALSE(result.complete()) << c.what;
        ASSERT_EQ(result.problems.size(), 1u) << c.what;
        EXPECT_EQ(result.problems[0].kind, ProblemKind::damaged) << c.what;
        EXPECT_EQ(result.problems[0].path, at("u/g/SV1.DAT")) << c.what;
        EXPECT_EQ(read("u/g/SV1.DAT"), std::string(c.bytes.begin(), c.bytes.end())) << c.what;
        EXPECT_FALSE(fs::exists(at("u/g/1"))) << c.what;
        EXPECT_FALSE(fs::exists(at("u/g/SV2.DAT"))) << c.what;
    }
}

TEST_F(ConversionTest, LinksAreNeverFollowed) {
    TempDir outside;
    outside.make_dir("target");
    outside.write_file("real.dat", "not a container of ours");
    const Bytes bytes = testing::per_entry_container({{"\\a\\b.sav", "b"}, {"\\c.sav", "c"}});
    // A link where a sub-folder of the slot would be.
    write("u/g/SV1.DAT", bytes);
    fs::create_directories(at("u/g/1"));
    fs::create_directory_symlink(outside.path("target"), at("u/g/1/a"));
    // A link where a slot folder would be.
    write("u/h/SV2.DAT", bytes);
    fs::create_directory_symlink(outside.path("target"), at("u/h/2"));
    // A link named like a container.
    fs::create_directories(at("u/k"));
    fs::create_symlink(outside.path("real.dat"), at("u/k/SV3.DAT"));
    // A linked user folder holding a container: never walked into.
    fs::create_directories(outside.path("user/g"));
    outside.write_file("user/g/SV1.DAT", std::string(bytes.begin(), bytes.end()));
    fs::create_directory_symlink(outside.path("user"), at("linked-user"));

    const ConversionResult result = convert(pf::Env::host());
    EXPECT_FALSE(result.complete());
    EXPECT_TRUE(fs::is_empty(outside.path("target")));
    EXPECT_EQ(outside.read_file("real.dat"), "not a container of ours");
    EXPECT_TRUE(fs::is_symlink(at("u/k/SV3.DAT")));
    EXPECT_TRUE(fs::exists(outside.path("user/g/SV1.DAT")));
    EXPECT_FALSE(fs::exists(outside.path("user/g/1")));
    EXPECT_EQ(read("u/g/1/c.sav"), "c");
    EXPECT_TRUE(fs::exists(at("u/g/SV1.DAT")));
    EXPECT_TRUE(fs::exists(at("u/h/SV2.DAT")));
    std::set<std::string> refused;
    for (const ConversionProblem& p : result.problems) {
        EXPECT_EQ(p.kind, ProblemKind::refused) << p.path << ": " << p.status.to_string();
        refused.insert(p.path.substr(home().size() + 1) + (p.entry.empty() ? "" : " " + p.entry));
    }
    EXPECT_EQ(refused,
              (std::set<std::string>{"u/g/SV1.DAT \\a\\b.sav", "u/h/SV2.DAT", "u/k/SV3.DAT"}));
}

// The process dies (every operation from the nth on fails) or one operation
// fails, at every point of a run in turn; no save may be lost meanwhile, and
// a healthy run afterwards must leave every save exactly once.
TEST_F(ConversionTest, RunCutShortAnywhereLosesNothingAndAHealthyRerunFinishes) {
    for (const auto mode :
         {pf::testing::FaultyEnv::Mode::persistent, pf::testing::FaultyEnv::Mode::once}) {
        const char* mode_name =
            mode == pf::testing::FaultyEnv::Mode::persistent ? "crash" : "one fault";
        bool reached_the_end = false;
        for (std::uint64_t n = 1; n < 5000 && !reached_the_end; ++n) {
            SCOPED_TRACE(std::string(mode_name) + " at operation " + std::to_string(n));
            fs::remove_all(home());
            containers.clear();
            build_fixture();
            pf::testing::FaultyEnv faulty(pf::Env::host());
            faulty.fail_at(n, EIO, mode);
            const ConversionResult cut = convert(faulty);
            reached_the_end = faulty.failures() == 0;
            // A fault may be one the run can do without (a look for another
            // spelling of a name); a run that says it is done must be.
            if (reached_the_end) {
                EXPECT_TRUE(cut.complete());
            }
            if (cut.complete()) expect_converted();
            for (const Container& c : containers) {
                if (fs::exists(at(c.path))) {
                    EXPECT_EQ(read(c.path), std::string(c.bytes.begin(), c.bytes.end())) << c.path;
                } else {
                    EXPECT_TRUE(slot_complete(c)) << c.path << " gone before its slot was whole";
                }
            }
            const ConversionResult rerun = convert(pf::Env::host());
            EXPECT_TRUE(rerun.complete());
            expect_converted();
            if (::testing::Test::HasFailure()) return;
        }
        EXPECT_TRUE(reached_the_end) << mode_name;
    }
}

TEST_F(ConversionTest, StopLeavesTheRestForTheNextRun) {
    build_fixture();
    int polls = 0;
    JobControl control;
    control.stop_requested = [&] { return ++polls > 3; };
    const ConversionResult stopped = convert(pf::Env::host(), control);
    EXPECT_TRUE(stopped.stopped);
    EXPECT_FALSE(stopped.complete());
    EXPECT_LT(stopped.containers_converted, 5u);
    ASSERT_TRUE(convert(pf::Env::host()).complete());
    expect_converted();
}

TEST_F(ConversionTest, ReportsSearchUnpackExtractAndTheEnd) {
    add({"u/g/SV1.DAT",
         testing::per_entry_container({{"\\a.sav", "a"}}),
         {2019, 1, 1, 0, 0, 0},
         "u/g/1",
         {{"a.sav", "a"}}});
    std::vector<Progress> seen;
    JobControl control;
    control.progress = [&](const Progress& p) { seen.push_back(p); };
    convert(pf::Env::host(), control);
    std::vector<std::string> texts;
    for (const Progress& p : seen) texts.push_back(p.text);
    EXPECT_EQ(texts, (std::vector<std::string>{
                         "Searching saves...", "Unpacking save: " + at("u/g/SV1.DAT"),
                         "Extracting file: \\a.sav", "Conversion finished!"}));
    EXPECT_EQ(seen.back().done, 1u);
    EXPECT_EQ(seen.back().total, 1u);
}

// A legacy user file of two 256-byte records without a header.
Bytes legacy_users() {
    Bytes bytes(512, 0);
    const auto put = [&](std::size_t at, const std::string& text) {
        bytes[at] = static_cast<std::uint8_t>(text.size());
        std::copy(text.begin(), text.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at) + 1);
    };
    put(0, "alice");
    put(128, "secret");
    put(256, "bob");
    put(384, "hunter2");
    return bytes;
}

TEST_F(ConversionTest, FinishSavesTheAccountsBeforeRetiringTheLegacyFile) {
    write("userinfo.DAT", legacy_users());
    accounts::AccountStore store(pf::Env::host(), home());
    ASSERT_EQ(store.load().status, accounts::LoadStatus::imported_legacy);
    ASSERT_TRUE(store.convert_pending());

    const FinishResult result = finish_conversion(pf::Env::host(), home(), store);
    EXPECT_TRUE(result.ok()) << result.status.to_string();
    EXPECT_TRUE(result.legacy_removed) << result.legacy_status.to_string();
    EXPECT_FALSE(store.convert_pending());
    EXPECT_EQ(tree(home()), (std::set<std::string>{"rkServer.cfg"}));

    accounts::AccountStore reloaded(pf::Env::host(), home());
    EXPECT_EQ(reloaded.load().status, accounts::LoadStatus::loaded);
    EXPECT_FALSE(reloaded.convert_pending());
    ASSERT_EQ(reloaded.accounts().size(), 2u);
    EXPECT_EQ(reloaded.accounts()[1].name, "bob");
}

TEST_F(ConversionTest, FinishCutShortAnywhereKeepsTheAccountsSomewhere) {
    bool reached_the_end = false;
    for (std::uint64_t n = 1; n < 200 && !reached_the_end; ++n) {
        SCOPED_TRACE("crash at operation " + std::to_string(n));
        fs::remove_all(home());
        write("UserInfo.dat", legacy_users());
        pf::testing::FaultyEnv faulty(pf::Env::host());
        accounts::AccountStore store(faulty, home());
        ASSERT_EQ(store.load().status, accounts::LoadStatus::imported_legacy);
        faulty.fail_at(n, EIO, pf::testing::FaultyEnv::Mode::persistent);
        const FinishResult result = finish_conversion(faulty, home(), store);
        reached_the_end = faulty.failures() == 0;
        if (!result.ok()) {
            EXPECT_TRUE(store.convert_pending());
            EXPECT_TRUE(fs::exists(at("UserInfo.dat")));
        }
        // Whatever happened, the next start finds both accounts.
        accounts::AccountStore next(pf::Env::host(), home());
        const accounts::LoadStatus status = next.load().status;
        EXPECT_TRUE(status == accounts::LoadStatus::loaded ||
                    status == accounts::LoadStatus::imported_legacy);
        EXPECT_EQ(next.accounts().size(), 2u);
        EXPECT_EQ(next.convert_pending(), status == accounts::LoadStatus::imported_legacy);
        if (::testing::Test::HasFailure()) return;
    }
    EXPECT_TRUE(reached_the_end);
}

TEST_F(ConversionTest, FinishWithoutALegacyFileStillSavesTheAccounts) {
    fs::create_directories(home());
    accounts::AccountStore store(pf::Env::host(), home());
    store.load();
    const FinishResult result = finish_conversion(pf::Env::host(), home(), store);
    EXPECT_TRUE(result.ok());
    EXPECT_TRUE(result.legacy_removed);
    EXPECT_TRUE(fs::exists(at("rkServer.cfg")));
}

}  // namespace
}  // namespace rk::maintenance
