// A private X server for one test: Xvfb on a display number it picks itself,
// stopped when the object goes. available() is false when Xvfb is not
// installed; start failures are reported through error().
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>

namespace rk::platform::testing {

class Xvfb {
public:
    static constexpr const char* kProgram = "/usr/bin/Xvfb";

    static bool available() { return ::access(kProgram, X_OK) == 0; }

    Xvfb() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            error_ = "pipe failed";
            return;
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            // -displayfd lets Xvfb choose a free display and write its number
            // once it accepts connections: no guessed numbers, no races.
            ::dup2(fds[1], 3);
            const int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, STDOUT_FILENO);
            ::dup2(null, STDERR_FILENO);
            ::execl(kProgram, kProgram, "-displayfd", "3", "-nolisten", "tcp", "-screen", "0",
                    "1280x800x24", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(fds[1]);
        if (pid_ < 0) {
            ::close(fds[0]);
            error_ = "fork failed";
            return;
        }
        read_display(fds[0]);
        ::close(fds[0]);
    }

    ~Xvfb() { stop(); }
    Xvfb(const Xvfb&) = delete;
    Xvfb& operator=(const Xvfb&) = delete;

    // ":N", or empty when the server did not come up.
    const std::string& display() const { return display_; }
    const std::string& error() const { return error_; }

    void stop() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
    }

private:
    void read_display(int fd) {
        using Clock = std::chrono::steady_clock;
        const auto deadline = Clock::now() + std::chrono::seconds(20);
        std::string number;
        while (Clock::now() < deadline) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            char c = 0;
            if (::read(fd, &c, 1) != 1) break;  // Xvfb exited before answering
            if (c == '\n') {
                if (!number.empty()) display_ = ":" + number;
                return;
            }
            number.push_back(c);
        }
        error_ = "Xvfb reported no display";
        stop();
    }

    pid_t pid_ = -1;
    std::string display_;
    std::string error_;
};

}  // namespace rk::platform::testing
