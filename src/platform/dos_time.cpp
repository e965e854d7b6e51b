#include "platform/dos_time.h"

namespace rk::platform {
namespace {

constexpr int kFirstYear = 1980;
constexpr int kLastYear = kFirstYear + 127;

std::uint32_t pack(int year, int month, int day, int hour, int minute, int second) {
    auto date = static_cast<std::uint32_t>(((year - kFirstYear) << 9) | (month << 5) | day);
    auto time = static_cast<std::uint32_t>((hour << 11) | (minute << 5) | (second / 2));
    return (date << 16) | time;
}

const std::uint32_t kEarliest = pack(kFirstYear, 1, 1, 0, 0, 0);
const std::uint32_t kLatest = pack(kLastYear, 12, 31, 23, 59, 58);

bool is_leap(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int days_in_month(int year, int month) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && is_leap(year) ? 29 : kDays[month - 1];
}

}  // namespace

std::uint32_t to_dos_time(std::time_t time) {
    std::tm local{};
    if (::localtime_r(&time, &local) == nullptr) {
        // Only a year beyond int's reach fails; its sign says which end.
        return time < 0 ? kEarliest : kLatest;
    }
    // tm_year counts from 1900; compare there so no addition can overflow.
    if (local.tm_year < kFirstYear - 1900) return kEarliest;
    if (local.tm_year > kLastYear - 1900) return kLatest;
    // A leap second (60) would spill into the next field.
    int second = local.tm_sec > 59 ? 59 : local.tm_sec;
    return pack(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                second);
}

std::optional<std::time_t> from_dos_time(std::uint32_t dos_time) {
    const std::uint32_t date = dos_time >> 16;
    const std::uint32_t time = dos_time & 0xFFFF;
    const int year = kFirstYear + static_cast<int>(date >> 9);
    const int month = static_cast<int>((date >> 5) & 0x0F);
    const int day = static_cast<int>(date & 0x1F);
    const int hour = static_cast<int>(time >> 11);
    const int minute = static_cast<int>((time >> 5) & 0x3F);
    const int half_seconds = static_cast<int>(time & 0x1F);
    if (month < 1 || month > 12 || day < 1 || day > days_in_month(year, month) || hour > 23 ||
        minute > 59 || half_seconds > 29)
        return std::nullopt;

    std::tm local{};
    local.tm_year = year - 1900;
    local.tm_mon = month - 1;
    local.tm_mday = day;
    local.tm_hour = hour;
    local.tm_min = minute;
    local.tm_sec = half_seconds * 2;
    local.tm_isdst = -1;  // let the zone's rules decide, as the local clock did
    std::time_t result = std::mktime(&local);
    // No valid field set maps to one second before 1970, so -1 is mktime's error.
    if (result == static_cast<std::time_t>(-1)) return std::nullopt;
    return result;
}

}  // namespace rk::platform
