// MS-DOS packed date-time, the form file dates take on the wire: date in the
// high 16 bits, time in the low 16, two-second steps, local time (TZ honoured).
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>

namespace rk::platform {

// What the wire carries for a file that does not exist (-1 as a signed
// 32-bit field). Its fields are invalid, so from_dos_time refuses it.
inline constexpr std::uint32_t kMissingDosTime = 0xFFFFFFFF;

// Odd seconds round down. Times before 1980-01-01 00:00:00 or after
// 2107-12-31 23:59:58 (local) become those limits.
std::uint32_t to_dos_time(std::time_t time);

// nullopt when a field is out of range: month 0 or above 12, day 0 or past
// the month's end, hour above 23, minute above 59, seconds/2 above 29.
std::optional<std::time_t> from_dos_time(std::uint32_t dos_time);

}  // namespace rk::platform
