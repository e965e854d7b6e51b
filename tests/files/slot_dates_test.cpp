#include "files/slot_dates.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "file_times.h"
#include "platform/dos_time.h"
#include "testing/temp_dir.h"

namespace rk::files {
namespace {

namespace fs = std::filesystem;
namespace pf = rk::platform;
using rk::files::testing::LocalTime;
using rk::files::testing::set_mtime;
using Dates = std::array<std::int32_t, 3>;

constexpr LocalTime kSlot1{2020, 2, 29, 13, 14, 16};
constexpr LocalTime kSlot3{1995, 8, 24, 9, 30, 0};

// alice's game with records in slots 1 and 3 (the latter spelt in lower
// case), a slot 2 folder without one, and alice2's game beside it.
class SlotDatesTest : public ::testing::Test {
protected:
    pf::Env& env = pf::Env::host();
    rk::platform::testing::TempDir dir;
    const std::string root = dir.path("alice");

    SlotDatesTest() {
        for (const char* slot : {"1", "2", "3"})
            dir.make_dir(std::string("alice/Games/Quest/") + slot);
        dir.make_dir("alice2/game/1");
        record("alice/Games/Quest/1/DOCDATE.SYN", kSlot1);
        record("alice/Games/Quest/3/docdate.syn", kSlot3);
        record("alice2/game/1/DOCDATE.SYN", kSlot1);
    }

    void record(const std::string& relative, const LocalTime& when,
                const std::string& content = {}) {
        dir.write_file(relative, content);
        set_mtime(dir.path(relative), when);
    }

    // Whether a DOS date-time is now, give or take the format's two seconds
    // and a slow test machine.
    void expect_now(std::int32_t dos_time) {
        const auto when = pf::from_dos_time(std::uint32_t(dos_time));
        ASSERT_TRUE(when) << dos_time;
        EXPECT_LE(std::abs(double(*when - std::time(nullptr))), 5.0);
    }
};

TEST_F(SlotDatesTest, MissingSlotReadsMinusOneHoweverTheFolderIsSpelt) {
    const Dates expected = {std::int32_t(kSlot1.dos()), -1, std::int32_t(kSlot3.dos())};
    for (const char* folder :
         {"\\Games\\Quest", "\\Games\\Quest\\", "games\\quest", "/GAMES/QUEST/"}) {
        SCOPED_TRACE(folder);
        EXPECT_EQ(slot_dates(env, root, folder), expected);
    }
}

TEST_F(SlotDatesTest, NoRecordsReadForAFolderThatIsMissingOrNotTheUsers) {
    dir.symlink(dir.path("alice2/game"), "alice/Games/other");
    for (const char* folder : {"\\Games\\None", "\\Games\\Quest\\1", "..\\alice2\\game",
                               "\\Games\\other", "c:\\Games"}) {
        SCOPED_TRACE(folder);
        EXPECT_EQ(slot_dates(env, root, folder), (Dates{-1, -1, -1}));
    }
}

TEST_F(SlotDatesTest, ResetRecordReadsNow) {
    reset_slot(env, root, "\\Games\\Quest\\2");
    const Dates dates = slot_dates(env, root, "\\Games\\Quest");
    EXPECT_EQ(dates[0], std::int32_t(kSlot1.dos()));
    expect_now(dates[1]);
    EXPECT_EQ(dates[2], std::int32_t(kSlot3.dos()));
}

TEST_F(SlotDatesTest, ResetReplacesAnOldRecordWhateverItsCase) {
    record("alice/Games/Quest/3/docdate.syn", kSlot3, "left over bytes");
    reset_slot(env, root, "\\Games\\Quest\\3\\");
    expect_now(slot_dates(env, root, "\\Games\\Quest")[2]);
    // The old record itself is renewed: no second one appears beside it.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path("alice/Games/Quest/3")),
                            fs::directory_iterator()),
              1);
    EXPECT_EQ(dir.read_file("alice/Games/Quest/3/docdate.syn"), "");
}

TEST_F(SlotDatesTest, ResetDoesNothingWhereThereIsNoSlotFolderOfTheUser) {
    const auto before = fs::last_write_time(dir.path("alice2/game/1/DOCDATE.SYN"));
    for (const char* slot_folder : {"\\Games\\Quest\\4", "\\Nothing\\1", "..\\alice2\\game\\1",
                                    "\\Games\\Quest\\1\\DOCDATE.SYN", "c:\\x"}) {
        SCOPED_TRACE(slot_folder);
        reset_slot(env, root, slot_folder);
    }
    EXPECT_FALSE(fs::exists(dir.path("alice/Games/Quest/4")));
    EXPECT_FALSE(fs::exists(dir.path("alice/Nothing")));
    EXPECT_EQ(fs::last_write_time(dir.path("alice2/game/1/DOCDATE.SYN")), before);
    EXPECT_EQ(slot_dates(env, root, "\\Games\\Quest")[0], std::int32_t(kSlot1.dos()));
}

}  // namespace
}  // namespace rk::files
