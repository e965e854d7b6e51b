#include "platform/registry_store.h"

#include <algorithm>
#include <charconv>

#include "platform/config_home.h"
#include "platform/host_path.h"
#include "platform/names.h"
#include "platform/small_file.h"

namespace rk::platform {
namespace {

// Hand-kept; anything this big is not ours.
constexpr std::size_t kMaxFileBytes = 64 * 1024;

bool is_blank(char c) { return c == ' ' || c == '\t'; }

std::string_view trim(std::string_view text) {
    while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && (is_blank(text.back()) || text.back() == '\r')) text.remove_suffix(1);
    return text;
}

bool is_value_name(std::string_view name) {
    if (name.empty() || trim(name).size() != name.size()) return false;
    if (name.front() == '#' || name.front() == ';') return false;
    return name.find_first_of("=\"\r\n") == std::string_view::npos;
}

// The text between the quotes, or nullopt when the quoting is broken or
// anything but blanks follows the closing quote.
std::optional<std::string> unquote(std::string_view value) {
    std::string text;
    for (std::size_t i = 1; i < value.size(); ++i) {
        const char c = value[i];
        if (c == '"') {
            if (!trim(value.substr(i + 1)).empty()) return std::nullopt;
            return text;
        }
        if (c != '\\') {
            text += c;
            continue;
        }
        if (++i == value.size()) return std::nullopt;
        switch (value[i]) {
            case '\\':
                text += '\\';
                break;
            case '"':
                text += '"';
                break;
            case 'n':
                text += '\n';
                break;
            case 'r':
                text += '\r';
                break;
            default:
                return std::nullopt;
        }
    }
    return std::nullopt;
}

std::string quote(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '"':
                out += "\\\"";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                out += c;
        }
    }
    return out + '"';
}

}  // namespace

std::optional<std::int64_t> parse_decimal(std::string_view text) {
    text = trim(text);
    // from_chars takes a '-' but no '+'; a second sign must not pass either.
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        if (text.empty() || text.front() == '-' || text.front() == '+') return std::nullopt;
    }
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::string format_registry(const std::vector<std::pair<std::string, RegistryValue>>& values) {
    std::string text = "# rkserver: one value a line, Name = \"text\" or Name = integer\n";
    for (const auto& [name, value] : values) {
        text += name + " = ";
        if (const auto* s = std::get_if<std::string>(&value)) {
            text += quote(*s);
        } else {
            text += std::to_string(std::get<std::int64_t>(value));
        }
        text += '\n';
    }
    return text;
}

std::vector<std::pair<std::string, RegistryValue>> parse_registry(std::string_view text,
                                                                  std::string& problems) {
    std::vector<std::pair<std::string, RegistryValue>> values;
    std::size_t number = 0;
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        const std::string_view line = trim(text.substr(0, end));
        text.remove_prefix(std::min(end + 1, text.size()));
        ++number;
        if (line.empty() || line.front() == '#' || line.front() == ';') continue;

        auto complain = [&](std::string_view what) {
            if (!problems.empty()) problems += "; ";
            problems += "line " + std::to_string(number) + " " + std::string(what) + ", skipped";
        };
        const std::size_t equals = line.find('=');
        if (equals == std::string_view::npos) {
            complain("has no '='");
            continue;
        }
        const std::string_view name = trim(line.substr(0, equals));
        const std::string_view raw = trim(line.substr(equals + 1));
        if (!is_value_name(name)) {
            complain("has no usable name");
            continue;
        }
        RegistryValue value;
        if (!raw.empty() && raw.front() == '"') {
            std::optional<std::string> unquoted = unquote(raw);
            if (!unquoted) {
                complain("has broken quoting");
                continue;
            }
            value = std::move(*unquoted);
        } else if (const auto number_value = parse_decimal(raw)) {
            value = *number_value;
        } else {
            complain("holds neither quoted text nor an integer");
            continue;
        }
        // A later line overrides an earlier one, as when editing by appending.
        const auto same = std::find_if(values.begin(), values.end(), [&](const auto& entry) {
            return equal_ignoring_ascii_case(entry.first, name);
        });
        if (same != values.end()) {
            same->second = std::move(value);
        } else {
            values.emplace_back(std::string(name), std::move(value));
        }
    }
    return values;
}

RegistryStore::RegistryStore(Env& env) : env_(env) {
    if (const auto home = config_home(env)) {
        path_ = join_path(join_path(*home, kRegistryFolderName), kRegistryFileName);
    }
}

RegistryStore::RegistryStore(Env& env, const std::string& folder)
    : env_(env), path_(join_path(folder, kRegistryFileName)) {}

std::string RegistryStore::load() {
    values_.clear();
    if (path_.empty()) return {};
    SmallFile file = read_small_file(env_, path_, kMaxFileBytes);
    if (file.error == std::errc::no_such_file_or_directory) return {};
    if (file.error)
        return "cannot read " + path_ + " (" + file.error.message() + "); its values are not used";
    if (file.too_large) return path_ + " is too large to be ours; its values are not used";
    std::string problems;
    values_ = parse_registry(file.content, problems);
    if (problems.empty()) return {};
    return path_ + ": " + problems;
}

std::vector<std::pair<std::string, RegistryValue>>::iterator RegistryStore::find(
    std::string_view name) {
    return std::find_if(values_.begin(), values_.end(), [&](const auto& entry) {
        return equal_ignoring_ascii_case(entry.first, name);
    });
}

std::optional<RegistryValue> RegistryStore::value(std::string_view name) const {
    const auto found = std::find_if(values_.begin(), values_.end(), [&](const auto& entry) {
        return equal_ignoring_ascii_case(entry.first, name);
    });
    if (found == values_.end()) return std::nullopt;
    return found->second;
}

std::optional<std::string> RegistryStore::read_string(std::string_view name) const {
    const auto found = value(name);
    if (!found || !std::holds_alternative<std::string>(*found)) return std::nullopt;
    return std::get<std::string>(*found);
}

std::optional<std::int64_t> RegistryStore::read_int(std::string_view name) const {
    const auto found = value(name);
    if (!found || !std::holds_alternative<std::int64_t>(*found)) return std::nullopt;
    return std::get<std::int64_t>(*found);
}

bool RegistryStore::write(std::string_view name, RegistryValue value) {
    if (!is_value_name(name)) return false;
    const auto found = find(name);
    if (found != values_.end()) {
        found->second = std::move(value);
    } else {
        values_.emplace_back(std::string(name), std::move(value));
    }
    return true;
}

void RegistryStore::erase(std::string_view name) {
    const auto found = find(name);
    if (found != values_.end()) values_.erase(found);
}

std::error_code RegistryStore::save() const {
    if (path_.empty()) return std::make_error_code(std::errc::no_such_file_or_directory);
    return replace_file(env_, path_, format_registry(values_));
}

StoredValues load_stored_values(RegistryStore& store) {
    StoredValues out;
    out.message = store.load();
    auto tell = [&](std::string what) {
        if (!out.message.empty()) out.message += "; ";
        out.message += std::move(what);
    };
    if (const auto limit = store.value(kLimitScanName)) {
        const auto* text = std::get_if<std::string>(&*limit);
        if (text == nullptr) {
            tell("LimitScan must be quoted text such as \"500\"; no scan limit is used");
        } else if (const auto number = parse_decimal(*text)) {
            out.limit_scan = *number;
        } else {
            tell("LimitScan \"" + *text + "\" is not a decimal number; no scan limit is used");
        }
    }
    if (const auto lang = store.value(kLangIndexName)) {
        if (const auto* number = std::get_if<std::int64_t>(&*lang)) {
            out.lang_index = *number;
        } else {
            tell("LangIndex must be an integer; the language follows the code page");
        }
    }
    return out;
}

}  // namespace rk::platform
