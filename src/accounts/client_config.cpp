#include "accounts/client_config.h"

#include <algorithm>
#include <utility>

#include "platform/home_files.h"
#include "platform/host_path.h"
#include "platform/small_file.h"
#include "platform/stat_following.h"
#include "wire/client_config_push.h"

namespace rk::accounts {

std::vector<std::string> split_lines(std::string_view text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find_first_of("\r\n", start);
        if (end == std::string_view::npos) {
            lines.emplace_back(text.substr(start));
            break;
        }
        lines.emplace_back(text.substr(start, end - start));
        start = end + 1;
        if (text[end] == '\r' && start < text.size() && text[start] == '\n') ++start;
    }
    return lines;
}

ClientConfig::ClientConfig(platform::Env& env, const std::string& home)
    : env_(env),
      path_(platform::join_path(home.empty() ? "." : home, platform::kClientConfigFileName)) {}

ClientConfigReport ClientConfig::load() { return check(true); }

ClientConfigReport ClientConfig::refresh() { return check(false); }

ClientConfigReport ClientConfig::trouble(Problem problem, std::string message) {
    if (reported_ == problem) return {};
    reported_ = problem;
    return {false, std::move(message) + (loaded_ ? "; the lines read before stay in force"
                                                 : "; nothing is pushed until it can be read")};
}

ClientConfigReport ClientConfig::check(bool forced) {
    std::error_code ec;
    // The operator may keep the file elsewhere: watch what a link points
    // to, not the link.
    const platform::FileInfo info = platform::stat_following(env_, path_, ec);
    if (ec) return trouble(Problem::unreadable, "cannot look at " + path_ + ": " + ec.message());
    if (info.type == platform::EntryType::none) return {};
    if (info.type != platform::EntryType::file) {
        return trouble(Problem::not_a_file, path_ + " is not a regular file");
    }
    if (!forced && loaded_ && info.size == size_ && info.mtime == mtime_) return {};
    auto too_large = [&] {
        return trouble(Problem::too_large, path_ + " is larger than " +
                                               std::to_string(kMaxClientConfigBytes) + " bytes");
    };
    if (info.size > kMaxClientConfigBytes) return too_large();

    // The file may have grown since the look.
    const platform::SmallFile read = platform::read_small_file(env_, path_, kMaxClientConfigBytes);
    if (read.error) {
        return trouble(Problem::unreadable, "cannot read " + path_ + ": " + read.error.message());
    }
    if (read.too_large) return too_large();

    std::vector<std::string> lines = split_lines(read.content);
    wire::CodecResult packed = wire::encode_client_config_push(lines);
    if (!packed.ok()) {
        return trouble(Problem::not_packable, "cannot compress " + path_ + ": " + packed.error);
    }

    lines_ = std::move(lines);
    payload_ = std::move(packed.bytes);
    size_ = info.size;
    mtime_ = info.mtime;
    loaded_ = true;
    reported_ = Problem::none;
    return {true, {}};
}

bool ClientConfig::should_push(const Settings& settings) const {
    return settings.serves_client_ini() && lines_.size() >= 2 && !payload_.empty();
}

}  // namespace rk::accounts
