// The client configuration file rkClient.ini in the home folder: read at
// start, watched by the engine's tick, and pushed to each client right after
// its logon while the operator has switched that on. The server never
// interprets the lines.
// REQUIRES: external synchronization; the server uses it from its event-loop
// thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "accounts/account_file.h"
#include "platform/env.h"

namespace rk::accounts {

// Far beyond any real configuration; a larger file is reported, not read.
inline constexpr std::size_t kMaxClientConfigBytes = 1024 * 1024;
// How often the tick looks at the file, in milliseconds of server clock.
inline constexpr std::uint64_t kClientConfigCheckPeriodMs = 5000;

// Whether the tick that brings the server clock to `clock_ms` should call
// refresh(): 200 ms after the clock starts, then every 5 s.
constexpr bool client_config_check_due(std::uint64_t clock_ms) {
    return clock_ms % kClientConfigCheckPeriodMs == 200;
}

// The lines of a file: broken at CR LF, CR or LF, the breaks dropped. A break
// at the very end ends the last line rather than starting an empty one, so
// "a\nb\n" and "a\nb" are both two lines, "a\n\n" is "a" and "", and an
// empty file has none.
std::vector<std::string> split_lines(std::string_view text);

// What a look at the file did; `message` is set only when the operator
// should hear of it, and then once per problem, not at every check.
struct ClientConfigReport {
    bool reloaded = false;
    std::string message;
};

class ClientConfig {
public:
    ClientConfig(platform::Env& env, const std::string& home);

    // The first read, at start. A missing file is no error.
    ClientConfigReport load();
    // Reads the file again when its size or last-write time differ from the
    // last read (newer or older alike). When it has gone or cannot be read,
    // the last good lines stay in force.
    ClientConfigReport refresh();

    // Whether a file has been read at least once since start.
    bool loaded() const { return loaded_; }
    const std::vector<std::string>& lines() const { return lines_; }

    // Pushed only while the switch is on and the file held two lines or more.
    bool should_push(const Settings& settings) const;
    // The pushed payload (wire/client_config_push.h). Empty when there is
    // nothing to push.
    std::span<const std::uint8_t> payload() const { return payload_; }

private:
    enum class Problem { none, unreadable, too_large, not_a_file, not_packable };

    ClientConfigReport check(bool forced);
    ClientConfigReport trouble(Problem problem, std::string message);

    platform::Env& env_;
    std::string path_;
    bool loaded_ = false;
    std::vector<std::string> lines_;
    std::vector<std::uint8_t> payload_;
    // What the file looked like at the last good read.
    std::uint64_t size_ = 0;
    std::time_t mtime_ = 0;
    // Told once; cleared by the next good read so a new failure is told again.
    Problem reported_ = Problem::none;
};

}  // namespace rk::accounts
