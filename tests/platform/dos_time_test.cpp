#include "platform/dos_time.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <limits>
#include <optional>
#include <string>

#include "testing/local_zone.h"

namespace rk::platform {
namespace {

constexpr const char* kUtc = "UTC0";
constexpr const char* kCentralEurope = "CET-1CEST,M3.5.0,M10.5.0/3";

constexpr std::uint32_t kEarliest = 0x00210000;  // 1980-01-01 00:00:00
constexpr std::uint32_t kLatest = 0xFF9FBF7D;    // 2107-12-31 23:59:58

// Every case runs in a zone of its own; the process's TZ is put back after.
class DosTimeTest : public ::testing::Test {
protected:
    void use_zone(const char* tz) { zone_.use(tz); }

private:
    testing::LocalZone zone_;
};

struct RoundTrip {
    const char* tz;
    std::time_t time;  // an even second
    std::uint32_t dos;
};

TEST_F(DosTimeTest, ConvertsBothWaysInLocalTime) {
    const RoundTrip cases[] = {
        {kUtc, 315532800, kEarliest},
        {kUtc, 951827696, 0x285D645C},   // 2000-02-29 12:34:56
        {kUtc, 1721030950, 0x58EF4125},  // 2024-07-15 08:09:10
        {kUtc, 4354819198, kLatest},
        {kCentralEurope, 315532800 - 3600, kEarliest},
        {kCentralEurope, 951827696 - 3600, 0x285D645C},   // winter: one hour ahead
        {kCentralEurope, 1721030950 - 7200, 0x58EF4125},  // summer: two hours ahead
        {kCentralEurope, 4354819198 - 3600, kLatest},
    };
    for (const RoundTrip& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.tz << " " << c.time);
        use_zone(c.tz);
        EXPECT_EQ(to_dos_time(c.time), c.dos);
        EXPECT_EQ(to_dos_time(c.time + 1), c.dos) << "odd seconds round down";
        EXPECT_EQ(from_dos_time(c.dos), std::optional<std::time_t>(c.time));
    }
}

struct Clamp {
    const char* tz;
    std::time_t time;
    std::uint32_t dos;
};

TEST_F(DosTimeTest, ClampsToTheRepresentableRangeOfTheLocalDate) {
    const Clamp cases[] = {
        {kUtc, 0, kEarliest},
        {kUtc, -1, kEarliest},
        {kUtc, 315532799, kEarliest},  // 1979-12-31 23:59:59
        {kUtc, 4354819199, kLatest},   // 2107-12-31 23:59:59
        {kUtc, 4354819200, kLatest},   // 2108-01-01 00:00:00
        {kUtc, std::numeric_limits<std::time_t>::max(), kLatest},
        {kUtc, std::numeric_limits<std::time_t>::min(), kEarliest},
        {kCentralEurope, 315532800 - 3601, kEarliest},
        // 23:59:59 UTC on the last day of 1979 is already 1980 in Paris.
        {kCentralEurope, 315532799, 0x0021077D},
    };
    for (const Clamp& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.tz << " " << c.time);
        use_zone(c.tz);
        EXPECT_EQ(to_dos_time(c.time), c.dos);
    }
}

TEST_F(DosTimeTest, RefusesFieldsOutOfRange) {
    use_zone(kUtc);
    // date: year-1980 << 9 | month << 5 | day; time: hour << 11 | minute << 5 | sec/2
    auto dos = [](std::uint32_t year, std::uint32_t month, std::uint32_t day, std::uint32_t hour,
                  std::uint32_t minute, std::uint32_t half_seconds) {
        return ((((year - 1980) << 9) | (month << 5) | day) << 16) | (hour << 11) | (minute << 5) |
               half_seconds;
    };
    const struct {
        const char* what;
        std::uint32_t value;
    } cases[] = {
        {"missing file", kMissingDosTime},
        {"all zero", 0},
        {"month 0", dos(2000, 0, 1, 0, 0, 0)},
        {"month 13", dos(2000, 13, 1, 0, 0, 0)},
        {"month 15", dos(2000, 15, 1, 0, 0, 0)},
        {"day 0", dos(2000, 1, 0, 0, 0, 0)},
        {"April 31", dos(2000, 4, 31, 0, 0, 0)},
        {"February 29 of a common year", dos(2001, 2, 29, 0, 0, 0)},
        {"February 29 of 2100", dos(2100, 2, 29, 0, 0, 0)},
        {"February 30 of a leap year", dos(2000, 2, 30, 0, 0, 0)},
        {"hour 24", dos(2000, 1, 1, 24, 0, 0)},
        {"hour 31", dos(2000, 1, 1, 31, 0, 0)},
        {"minute 60", dos(2000, 1, 1, 0, 60, 0)},
        {"seconds 60", dos(2000, 1, 1, 0, 0, 30)},
        {"seconds 62", dos(2000, 1, 1, 0, 0, 31)},
    };
    for (const auto& c : cases) EXPECT_EQ(from_dos_time(c.value), std::nullopt) << c.what;

    EXPECT_NE(from_dos_time(dos(2000, 2, 29, 23, 59, 29)), std::nullopt) << "leap day, last second";
}

TEST_F(DosTimeTest, AcceptsAClockTimeSkippedBySummerTime) {
    use_zone(kCentralEurope);
    // 2024-03-31 02:30 never happened in Paris, but a client may still send it.
    const std::uint32_t skipped = (((44u << 9) | (3u << 5) | 31u) << 16) | (2u << 11) | (30u << 5);
    auto time = from_dos_time(skipped);
    ASSERT_TRUE(time.has_value());
    EXPECT_NEAR(static_cast<double>(*time), 1711848600.0,
                3600.0);  // 01:30 UTC give or take the hour
}

}  // namespace
}  // namespace rk::platform
