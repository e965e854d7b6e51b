// The few values the program reads from outside its home folder, kept in a
// small text file in the user's configuration folder
// ($XDG_CONFIG_HOME/rkserver/settings.conf). One value a line, typed like
// the values it stands in for: text in double quotes or a decimal integer.
//
//     # comment
//     LimitScan = "500"
//     LangIndex = 1
//
// Names compare ignoring ASCII letter case. Inside quotes, \\ \" \n and \r
// stand for a backslash, a quote, LF and CR.
// REQUIRES: external synchronization; read at start-up on the main thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <variant>
#include <vector>

#include "platform/env.h"

namespace rk::platform {

inline constexpr std::string_view kRegistryFolderName = "rkserver";
inline constexpr std::string_view kRegistryFileName = "settings.conf";
inline constexpr std::string_view kLimitScanName = "LimitScan";
inline constexpr std::string_view kLangIndexName = "LangIndex";

using RegistryValue = std::variant<std::string, std::int64_t>;

class RegistryStore {
public:
    // The file in config_home(env)/rkserver; none when no such folder can be
    // named (then every value is absent and save() fails).
    explicit RegistryStore(Env& env);
    // The file in `folder`, for tests and for a folder chosen by hand.
    RegistryStore(Env& env, const std::string& folder);

    // Empty when there is no folder to keep the file in.
    const std::string& path() const { return path_; }

    // Replaces the values in memory by the file's. A missing file holds no
    // values and is no error; an unreadable one holds none and is told in
    // the returned message, as is every line that cannot be read (skipped).
    // The message is empty when there is nothing to tell.
    std::string load();

    std::optional<RegistryValue> value(std::string_view name) const;
    bool exists(std::string_view name) const { return value(name).has_value(); }
    // Absent when missing or of the other type.
    std::optional<std::string> read_string(std::string_view name) const;
    std::optional<std::int64_t> read_int(std::string_view name) const;

    // False, and nothing changed, for a name the file could not hold: empty,
    // with surrounding blanks, or with '=', '"', a line break or a leading
    // '#' or ';'.
    bool write(std::string_view name, RegistryValue value);
    void erase(std::string_view name);

    // Writes every value atomically (temporary file, sync, rename), making
    // the folder when missing.
    std::error_code save() const;

private:
    std::vector<std::pair<std::string, RegistryValue>>::iterator find(std::string_view name);

    Env& env_;
    std::string path_;
    std::vector<std::pair<std::string, RegistryValue>> values_;
};

// The file's text for `values`, and back; `problems` gets one line for each
// line that cannot be read.
std::string format_registry(const std::vector<std::pair<std::string, RegistryValue>>& values);
std::vector<std::pair<std::string, RegistryValue>> parse_registry(std::string_view text,
                                                                  std::string& problems);

// Optional sign and decimal digits, within 64 bits, blanks around allowed.
std::optional<std::int64_t> parse_decimal(std::string_view text);

// The values the server reads at start-up. A value of the wrong type, or a
// LimitScan whose text is not a decimal number, counts as absent and is
// told in `message` (one text for the log; empty when all is well).
struct StoredValues {
    std::optional<std::int64_t> limit_scan;  // directory entries per second
    std::optional<std::int64_t> lang_index;
    std::string message;
};
StoredValues load_stored_values(RegistryStore& store);

// Directory entries the listing may take per 20 ms tick from LimitScan: its
// value / 50 truncated toward zero; -1 when absent. Only a result above 0
// limits anything, so 1 to 49 entries per second mean no limit.
constexpr std::int64_t scan_rate_per_tick(std::optional<std::int64_t> limit_scan) {
    return limit_scan ? *limit_scan / 50 : -1;
}

}  // namespace rk::platform
