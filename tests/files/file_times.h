// Known file dates for fixtures, and the DOS date-time a client should see
// for them, packed from the calendar fields rather than by the code under test.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdint>
#include <ctime>
#include <stdexcept>
#include <string>

namespace rk::files::testing {

struct LocalTime {
    int year, month, day, hour, minute, second;  // second even

    std::time_t to_time_t() const {
        std::tm fields{};
        fields.tm_year = year - 1900;
        fields.tm_mon = month - 1;
        fields.tm_mday = day;
        fields.tm_hour = hour;
        fields.tm_min = minute;
        fields.tm_sec = second;
        fields.tm_isdst = -1;
        return std::mktime(&fields);
    }
    std::uint32_t dos() const {
        return std::uint32_t(year - 1980) << 25 | std::uint32_t(month) << 21 |
               std::uint32_t(day) << 16 | std::uint32_t(hour) << 11 | std::uint32_t(minute) << 5 |
               std::uint32_t(second / 2);
    }
};

// Sets the last-write time of a path without following a final link.
inline void set_mtime(const std::string& path, const LocalTime& when) {
    const timespec times[2] = {{when.to_time_t(), 0}, {when.to_time_t(), 0}};
    if (::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
        throw std::runtime_error("cannot date " + path);
}

}  // namespace rk::files::testing
