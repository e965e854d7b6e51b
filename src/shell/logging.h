// Sets up the program's log: leveled lines on stderr, or, when systemd
// started us (JOURNAL_STREAM set), lines that carry journald's <N> level
// prefixes instead of timestamps.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace rk::shell {

// The level names --log-level takes: trace, debug, info, warn, error, off.
bool valid_log_level(std::string_view level);

void set_up_logging(std::string_view level, bool journal);

}  // namespace rk::shell
