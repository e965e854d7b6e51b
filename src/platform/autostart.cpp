#include "platform/autostart.h"

#include <algorithm>

#include "platform/config_home.h"
#include "platform/desktop_file.h"
#include "platform/host_path.h"
#include "platform/small_file.h"

namespace rk::platform {
namespace {

constexpr std::size_t kMaxEntryBytes = 64 * 1024;
constexpr std::string_view kGroup = "[Desktop Entry]";

bool is_blank(char c) { return c == ' ' || c == '\t'; }

std::string_view trim(std::string_view text) {
    while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && (is_blank(text.back()) || text.back() == '\r')) text.remove_suffix(1);
    return text;
}

struct EntryLines {
    std::optional<std::string> exec;
    bool hidden = false;
    bool switched_off = false;
};

// Only the main group counts: actions and other groups have Exec lines of
// their own.
EntryLines read_entry(std::string_view text) {
    EntryLines entry;
    bool in_main_group = false;
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        const std::string_view line = trim(text.substr(0, end));
        text.remove_prefix(std::min(end + 1, text.size()));
        if (line.empty() || line.front() == '#') continue;
        if (line.front() == '[') {
            in_main_group = line == kGroup;
            continue;
        }
        const std::size_t equals = line.find('=');
        if (!in_main_group || equals == std::string_view::npos) continue;
        const std::string_view key = trim(line.substr(0, equals));
        const std::string_view value = trim(line.substr(equals + 1));
        if (key == "Exec") entry.exec = std::string(value);
        if (key == "Hidden") entry.hidden = value == "true";
        if (key == "X-GNOME-Autostart-enabled") entry.switched_off = value == "false";
    }
    return entry;
}

}  // namespace

std::string desktop_exec_value(std::string_view exec_path) {
    std::string quoted = "\"";
    for (const char c : exec_path) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
        if (c == '%') quoted += '%';
        quoted += c;
    }
    quoted += '"';
    std::string value;
    for (const char c : quoted) {
        switch (c) {
            case '\\':
                value += "\\\\";
                break;
            case '\n':
                value += "\\n";
                break;
            case '\r':
                value += "\\r";
                break;
            case '\t':
                value += "\\t";
                break;
            default:
                value += c;
        }
    }
    return value;
}

std::string desktop_entry(std::string_view exec_path) {
    std::string entry;
    std::string_view rest = kDesktopFile;
    while (!rest.empty()) {
        const auto end = rest.find('\n');
        const std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (line.starts_with("Exec=")) {
            entry += "Exec=" + desktop_exec_value(exec_path);
        } else {
            entry += line;
        }
        entry += '\n';
    }
    return entry + "X-GNOME-Autostart-enabled=true\n";
}

Autostart::Autostart(Env& env) : env_(env) {
    if (const auto home = config_home(env)) {
        path_ = join_path(join_path(*home, "autostart"), kAutostartFileName);
    }
}

Autostart::Autostart(Env& env, const std::string& folder)
    : env_(env), path_(join_path(folder, kAutostartFileName)) {}

bool Autostart::is_enabled(std::string_view exec_path) const {
    if (path_.empty()) return false;
    const SmallFile file = read_small_file(env_, path_, kMaxEntryBytes);
    if (file.error || file.too_large) return false;
    const EntryLines entry = read_entry(file.content);
    return entry.exec == desktop_exec_value(exec_path) && !entry.hidden && !entry.switched_off;
}

std::error_code Autostart::enable(std::string_view exec_path) const {
    if (path_.empty()) return std::make_error_code(std::errc::no_such_file_or_directory);
    // The desktop starts entries without a working folder of ours.
    if (exec_path.empty() || exec_path.front() != '/') {
        return std::make_error_code(std::errc::invalid_argument);
    }
    return replace_file(env_, path_, desktop_entry(exec_path));
}

std::error_code Autostart::disable() const {
    if (path_.empty()) return {};
    const std::error_code ec = env_.remove_file(path_);
    return ec == std::errc::no_such_file_or_directory ? std::error_code{} : ec;
}

}  // namespace rk::platform
