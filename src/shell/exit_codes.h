// The exit statuses of rkserver, as README lists them.
#pragma once

namespace rk::shell {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;        // could not start or stop cleanly
inline constexpr int kExitUsage = 2;         // bad command line
inline constexpr int kExitAlreadyRunning = 3;  // another rkserver holds this home

}  // namespace rk::shell
