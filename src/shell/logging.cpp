#include "shell/logging.h"

#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>

namespace rk::shell {

namespace {

// journald reads a leading <N> as the line's syslog priority.
class JournalPriority final : public spdlog::custom_flag_formatter {
public:
    void format(const spdlog::details::log_msg& msg, const std::tm&,
                spdlog::memory_buf_t& dest) override {
        const char* prefix = "<6>";
        switch (msg.level) {
            case spdlog::level::trace:
            case spdlog::level::debug: prefix = "<7>"; break;
            case spdlog::level::warn: prefix = "<4>"; break;
            case spdlog::level::err: prefix = "<3>"; break;
            case spdlog::level::critical: prefix = "<2>"; break;
            default: break;
        }
        dest.append(prefix, prefix + 3);
    }
    std::unique_ptr<custom_flag_formatter> clone() const override {
        return std::make_unique<JournalPriority>();
    }
};

}  // namespace

bool valid_log_level(std::string_view level) {
    return level == "off" || spdlog::level::from_str(std::string(level)) != spdlog::level::off;
}

void set_up_logging(std::string_view level, bool journal) {
    auto logger = spdlog::stderr_logger_mt("rkserver");
    auto formatter = std::make_unique<spdlog::pattern_formatter>();
    if (journal) {
        formatter->add_flag<JournalPriority>('*').set_pattern("%*%v");
    } else {
        formatter->set_pattern("%Y-%m-%d %H:%M:%S.%e %l %v");
    }
    logger->set_formatter(std::move(formatter));
    logger->set_level(spdlog::level::from_str(std::string(level)));
    logger->flush_on(spdlog::level::trace);
    spdlog::set_default_logger(std::move(logger));
}

}  // namespace rk::shell
