#include "maintenance/purge.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "../files/file_times.h"
#include "testing/faulty_env.h"
#include "testing/local_zone.h"
#include "testing/temp_dir.h"

namespace rk::maintenance {
namespace {

namespace fs = std::filesystem;
namespace pf = rk::platform;
using files::testing::LocalTime;
using platform::testing::TempDir;

constexpr const char* kCentralEurope = "CET-1CEST,M3.5.0,M10.5.0/3";

// Every path below `root`, relative, links listed but never followed.
std::set<std::string> tree(const std::string& root) {
    std::set<std::string> paths;
    for (const auto& entry : fs::recursive_directory_iterator(root))
        paths.insert(entry.path().lexically_relative(root).string());
    return paths;
}

// A fixed local zone for the test, the process's own put back after.
class ZonedTest : public ::testing::Test {
private:
    platform::testing::LocalZone zone_{kCentralEurope};
};

using SlotAge = ZonedTest;

TEST_F(SlotAge, KeepsWhatIsNotOlderThanTheChosenDaysOnTheLocalCalendar) {
    struct Case {
        const char* what;
        int days;
        std::optional<LocalTime> record;
        LocalTime now;
        bool kept;
    };
    const LocalTime noon{2024, 6, 15, 12, 0, 0};
    const std::vector<Case> cases = {
        {"exactly 30 days", 30, LocalTime{2024, 5, 16, 12, 0, 0}, noon, true},
        {"30 days and 2 seconds", 30, LocalTime{2024, 5, 16, 11, 59, 58}, noon, false},
        {"31 days", 30, LocalTime{2024, 5, 15, 12, 0, 0}, noon, false},
        {"29 days", 30, LocalTime{2024, 5, 17, 12, 0, 0}, noon, true},
        {"exactly 90 days", 90, LocalTime{2024, 3, 17, 12, 0, 0}, noon, true},
        {"91 days", 90, LocalTime{2024, 3, 16, 12, 0, 0}, noon, false},
        {"179 days", 180, LocalTime{2023, 12, 19, 12, 0, 0}, noon, true},
        {"181 days", 180, LocalTime{2023, 12, 17, 12, 0, 0}, noon, false},
        {"dated in the future", 30, LocalTime{2025, 1, 1, 0, 0, 0}, noon, true},
        {"dated before 1980", 30, LocalTime{1975, 1, 1, 0, 0, 0}, noon, false},
        {"no record", 180, std::nullopt, noon, false},
        // 30 calendar days here are 30 days and an hour of real time.
        {"30 days across the autumn clock change", 30, LocalTime{2024, 10, 1, 12, 0, 0},
         LocalTime{2024, 10, 31, 12, 0, 0}, true},
        {"30 days across the spring clock change", 30, LocalTime{2024, 3, 16, 12, 0, 0},
         LocalTime{2024, 4, 15, 12, 0, 0}, true},
        {"30 days and 2 seconds across the spring clock change", 30,
         LocalTime{2024, 3, 16, 11, 59, 58}, LocalTime{2024, 4, 15, 12, 0, 0}, false},
    };
    for (const Case& c : cases) {
        const auto record = c.record ? std::optional(c.record->to_time_t()) : std::nullopt;
        EXPECT_EQ(slot_is_recent(record, c.days, c.now.to_time_t()), c.kept) << c.what;
    }
    // The odd second a DOS date drops still counts for the present moment.
    const std::time_t exactly = LocalTime{2024, 5, 16, 12, 0, 0}.to_time_t();
    EXPECT_FALSE(slot_is_recent(exactly, 30, noon.to_time_t() + 1));
}

TEST(SlotFolderName, TakesNamesBetweenOneAndThreeInByteOrder) {
    for (const char* name : {"1", "2", "3", "10", "2a", "1.old"})
        EXPECT_TRUE(is_slot_folder_name(name)) << name;
    for (const char* name : {"", "0", "3a", "4", "a", "30", "!"})
        EXPECT_FALSE(is_slot_folder_name(name)) << name;
}

class PurgeTest : public ZonedTest {
protected:
    void file(const std::string& relative, const std::string& content = "save") {
        home.make_dir(fs::path(relative).parent_path().string());
        home.write_file(relative, content);
    }
    void record(const std::string& slot, const LocalTime& when,
                const std::string& name = "DOCDATE.SYN") {
        file(slot + "/" + name, "");
        files::testing::set_mtime(home.path(slot + "/" + name), when);
    }
    PurgeResult purge(pf::Env& env, int days, const JobControl& control = {}) {
        return purge_old_slots(env, home.path(), {days, now.to_time_t()}, control);
    }

    TempDir home;
    TempDir outside;
    const LocalTime now{2024, 6, 15, 12, 0, 0};
    const LocalTime days_31_ago{2024, 5, 15, 12, 0, 0};
    const LocalTime days_30_ago{2024, 5, 16, 12, 0, 0};
    const LocalTime days_29_ago{2024, 5, 17, 12, 0, 0};
};

TEST_F(PurgeTest, RemovesOnlyOldSlotsAndTheFoldersLeftEmpty) {
    const std::vector<std::string> own_files = {
        "rkServer.cfg", "rkServer.cfg.tmp", "rkServer.cfg.damaged", "UserInfo.dat",
        "rkClient.ini", "rkserver.lock",    "rkserver.sock",        "SV1.DAT",
    };
    for (const std::string& name : own_files) file(name, "mine");

    record("alice/game/1", days_31_ago);
    file("alice/game/1/save.dat");
    ::chmod(home.path("alice/game/1/save.dat").c_str(), 0444);
    file("alice/game/1/sub/deep.sav");
    record("alice/game/2", days_30_ago);
    file("alice/game/2/save.dat");
    record("alice/game/3", days_29_ago);
    file("alice/game/3/save.dat");
    file("alice/game2/1/no-record.sav");  // no date record: old
    file("alice/game/4/x.sav");           // not a slot name
    file("alice/game/3a/y.sav");
    home.make_dir("alice/game/3a/empty");
    file("alice/game/1.sav");    // a file, not a slot folder
    file("alice/game/SV2.DAT");  // awaiting conversion
    file("alice/1/save.dat");    // one level too high for a slot
    home.make_dir("bob");        // an account without saves
    home.make_dir("stray/empty");
    record("dave/g/1", days_29_ago, "docdate.syn");  // the record in another letter case
    file("dave/g/1/save.dat");

    file("precious/keep.sav", "precious");
    const std::string target = outside.path("target");
    outside.make_dir("target");
    outside.write_file("target/inside.sav", "elsewhere");
    outside.write_file("linked.sav", "linked");
    home.make_dir("carol/g");
    home.symlink(target, "carol/g/1");  // a link where a slot would be
    record("carol/g/2", days_31_ago);
    home.symlink(outside.path("linked.sav"), "carol/g/2/escape");  // a link inside an old slot
    home.symlink(target, "carol/link-to-outside");

    const PurgeResult result = purge(pf::Env::host(), 30);

    std::set<std::string> expected = {
        "alice",
        "alice/game",
        "alice/game/2",
        "alice/game/2/DOCDATE.SYN",
        "alice/game/2/save.dat",
        "alice/game/3",
        "alice/game/3/DOCDATE.SYN",
        "alice/game/3/save.dat",
        "alice/game/4",
        "alice/game/4/x.sav",
        "alice/game/3a",
        "alice/game/3a/y.sav",
        "alice/game/1.sav",
        "alice/game/SV2.DAT",
        "alice/1",
        "alice/1/save.dat",
        "dave",
        "dave/g",
        "dave/g/1",
        "dave/g/1/docdate.syn",
        "dave/g/1/save.dat",
        "precious",
        "precious/keep.sav",
        "carol",
        "carol/g",
        "carol/g/1",
        "carol/link-to-outside",
    };
    expected.insert(own_files.begin(), own_files.end());
    EXPECT_EQ(tree(home.path()), expected);
    for (const std::string& name : own_files) EXPECT_EQ(home.read_file(name), "mine") << name;
    EXPECT_EQ(outside.read_file("target/inside.sav"), "elsewhere");
    EXPECT_EQ(outside.read_file("linked.sav"), "linked");

    EXPECT_FALSE(result.refused);
    EXPECT_FALSE(result.stopped);
    EXPECT_EQ(result.slots_purged, 3u);   // alice/game/1, alice/game2/1, carol/g/2
    EXPECT_EQ(result.files_deleted, 6u);  // 3 + 1 + record and link of carol's
    EXPECT_EQ(result.files_kept, 0u);
    // game/1/sub, game/1, game2/1, game2, 3a/empty, carol/g/2, bob, stray/empty, stray
    EXPECT_EQ(result.folders_removed, 9u);
}

TEST_F(PurgeTest, ChosenDaysDecideWhichSlotsGo) {
    struct Case {
        int days;
        std::set<std::string> slots_left;
    };
    const std::vector<Case> cases = {
        {180, {"u/g/1", "u/g/2", "u/g/3"}},
        {90, {"u/g/2", "u/g/3"}},
        {30, {"u/g/3"}},
    };
    for (const Case& c : cases) {
        record("u/g/1", LocalTime{2024, 1, 1, 12, 0, 0});  // 166 days
        record("u/g/2", LocalTime{2024, 4, 1, 12, 0, 0});  // 75 days
        record("u/g/3", LocalTime{2024, 6, 1, 12, 0, 0});  // 14 days
        purge(pf::Env::host(), c.days);
        std::set<std::string> left;
        for (const char* slot : {"u/g/1", "u/g/2", "u/g/3"})
            if (fs::exists(home.path(slot))) left.insert(slot);
        EXPECT_EQ(left, c.slots_left) << c.days;
    }
}

TEST_F(PurgeTest, NoAgeChosenTouchesNothing) {
    file("u/g/1/save.dat");
    home.make_dir("empty");
    for (const int days : {0, -30}) {
        const PurgeResult result = purge(pf::Env::host(), days);
        EXPECT_TRUE(result.refused);
    }
    EXPECT_EQ(tree(home.path()),
              (std::set<std::string>{"u", "u/g", "u/g/1", "u/g/1/save.dat", "empty"}));
}

TEST_F(PurgeTest, UnreadableRecordKeepsTheSlot) {
    pf::testing::FaultyEnv faulty(pf::Env::host());
    // Each inspection in turn fails until one is the look at the record.
    std::uint64_t n = 1;
    PurgeResult result;
    for (;; ++n) {
        record("u/g/1", days_31_ago);
        file("u/g/1/save.dat");
        faulty.fail_at(n, EIO, pf::testing::FaultyEnv::Mode::once,
                       pf::testing::FaultyEnv::kInspect);
        result = purge(faulty, 30);
        if (result.slots_unreadable == 1 || faulty.failures() == 0) break;
    }
    ASSERT_EQ(result.slots_unreadable, 1u) << "no inspection read the record";
    EXPECT_EQ(result.slots_purged, 0u);
    EXPECT_TRUE(fs::exists(home.path("u/g/1/save.dat")));
}

TEST_F(PurgeTest, FailedDeletesAreCountedAndTheFolderStays) {
    record("u/g/1", days_31_ago);
    file("u/g/1/save.dat");
    pf::testing::FaultyEnv faulty(pf::Env::host());
    faulty.fail_at(1, EBUSY, pf::testing::FaultyEnv::Mode::once, pf::testing::FaultyEnv::kRemove);
    const PurgeResult result = purge(faulty, 30);
    EXPECT_EQ(result.slots_purged, 1u);
    EXPECT_EQ(result.files_deleted, 1u);
    EXPECT_EQ(result.files_kept, 1u);
    EXPECT_TRUE(fs::exists(home.path("u/g/1")));
}

TEST_F(PurgeTest, StopEndsTheWalkAndReportsIt) {
    record("u/g/1", days_31_ago);
    file("u/g/1/save.dat");
    std::vector<std::string> texts;
    JobControl control;
    control.stop_requested = [] { return true; };
    control.progress = [&](const Progress& p) { texts.push_back(p.text); };
    const PurgeResult result = purge(pf::Env::host(), 30, control);
    EXPECT_TRUE(result.stopped);
    EXPECT_TRUE(fs::exists(home.path("u/g/1/save.dat")));
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(texts.front(), "Searching...");
}

TEST_F(PurgeTest, ReportsSearchingThenDeleted) {
    record("u/g/1", days_31_ago);
    std::vector<std::string> texts;
    JobControl control;
    control.progress = [&](const Progress& p) { texts.push_back(p.text); };
    purge(pf::Env::host(), 30, control);
    ASSERT_GE(texts.size(), 2u);
    EXPECT_EQ(texts.front(), "Searching...");
    EXPECT_EQ(texts.back(), "Deleted!");
}

}  // namespace
}  // namespace rk::maintenance
