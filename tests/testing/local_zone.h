// The process's local time zone set for a test, and the one it had put back
// when the object goes.
#pragma once

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

namespace rk::platform::testing {

class LocalZone {
public:
    LocalZone() {
        if (const char* tz = std::getenv("TZ")) saved_ = tz;
    }
    explicit LocalZone(const char* tz) : LocalZone() { use(tz); }
    ~LocalZone() {
        if (saved_)
            ::setenv("TZ", saved_->c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }
    LocalZone(const LocalZone&) = delete;
    LocalZone& operator=(const LocalZone&) = delete;

    // A POSIX TZ value such as "UTC0" or "CET-1CEST,M3.5.0,M10.5.0/3".
    void use(const char* tz) {
        ::setenv("TZ", tz, 1);
        ::tzset();
    }

private:
    std::optional<std::string> saved_;
};

}  // namespace rk::platform::testing
