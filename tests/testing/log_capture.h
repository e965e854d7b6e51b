// What the program logs while a LogCapture lives, one "<level> <text>" line
// a message; the previous default logger comes back when it goes. Only for
// test programs that link spdlog. Safe for concurrent logging; read text()
// once the logging that matters has happened.
#pragma once

#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>

#include <memory>
#include <sstream>
#include <string>

namespace rk::testing {

class LogCapture {
public:
    LogCapture() {
        auto sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(lines_);
        sink->set_pattern("%l %v");
        spdlog::set_default_logger(std::make_shared<spdlog::logger>("capture", sink));
    }
    ~LogCapture() { spdlog::set_default_logger(previous_); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::string text() {
        spdlog::default_logger()->flush();
        return lines_.str();
    }

private:
    std::shared_ptr<spdlog::logger> previous_ = spdlog::default_logger();
    std::ostringstream lines_;
};

}  // namespace rk::testing
