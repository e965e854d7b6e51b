#include "platform/process.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <termios.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <fstream>

#include "platform/host_path.h"

namespace rk::platform {

std::string executable_path() {
    char buffer[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) return {};
    return std::string(buffer, std::size_t(n));
}

std::string executable_folder() { return parent_folder(executable_path()); }

namespace {

sigset_t stop_set() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

}  // namespace

StopSignals::StopSignals() {
    const sigset_t set = stop_set();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int StopSignals::wait() {
    const sigset_t set = stop_set();
    int signal = 0;
    while (sigwait(&set, &signal) != 0) {
    }
    return signal;
}


void StopSignals::wake(std::thread& waiter) { pthread_kill(waiter.native_handle(), SIGTERM); }

std::optional<ProcessHandle> ProcessHandle::open(int pid) {
    if (pid <= 0) return std::nullopt;
    const long fd = syscall(SYS_pidfd_open, pid, 0);
    if (fd < 0) return std::nullopt;
    return ProcessHandle(int(fd));
}

ProcessHandle::ProcessHandle(ProcessHandle&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

ProcessHandle& ProcessHandle::operator=(ProcessHandle&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) close(fd_);
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

ProcessHandle::~ProcessHandle() {
    if (fd_ >= 0) close(fd_);
}

bool ProcessHandle::terminate() const {
    return fd_ >= 0 && syscall(SYS_pidfd_send_signal, fd_, SIGTERM, nullptr, 0) == 0;
}

std::uint64_t raise_open_file_limit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
    getrlimit(RLIMIT_NOFILE, &limit);
    return limit.rlim_cur;
}

Child spawn(const std::vector<std::string>& argv) {
    int fds[2];
    if (argv.empty() || pipe(fds) != 0) return {};
    const pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        return {};
    }
    if (pid == 0) {
        dup2(fds[1], STDOUT_FILENO);
        close(fds[0]);
        close(fds[1]);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(fds[1]);
    return {pid, fds[0]};
}

int stop_child(const Child& child) {
    if (child.pid <= 0) return -1;
    kill(child.pid, SIGTERM);
    int status = 0;
    if (waitpid(child.pid, &status, 0) != child.pid) return -1;
    if (child.stdout_fd >= 0) close(child.stdout_fd);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string read_line(const Child& child) {
    std::string line;
    char c;
    while (read(child.stdout_fd, &c, 1) == 1 && c != '\n') line.push_back(c);
    return line;
}

std::uint64_t resident_bytes(int pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    while (status >> key) {
        if (key == "VmRSS:") {
            std::uint64_t kib = 0;
            status >> kib;
            return kib * 1024;
        }
        status.ignore(1 << 20, '\n');
    }
    return 0;
}

long own_uid() { return long(getuid()); }

long peer_uid(int socket_fd) {
    ucred cred{};
    socklen_t size = sizeof cred;
    if (getsockopt(socket_fd, SOL_SOCKET, SO_PEERCRED, &cred, &size) != 0) return -1;
    return long(cred.uid);
}

bool restrict_to_owner(const std::string& path) { return chmod(path.c_str(), 0600) == 0; }

std::optional<std::string> read_secret(const std::string& prompt) {
    const int tty = open("/dev/tty", O_RDWR | O_CLOEXEC);
    if (tty < 0) return std::nullopt;
    termios saved{};
    const bool is_terminal = tcgetattr(tty, &saved) == 0;
    if (is_terminal) {
        termios quiet = saved;
        quiet.c_lflag &= ~tcflag_t(ECHO);
        tcsetattr(tty, TCSAFLUSH, &quiet);
    }
    (void)!write(tty, prompt.data(), prompt.size());
    std::string line;
    char c;
    while (read(tty, &c, 1) == 1 && c != '\n') line.push_back(c);
    if (is_terminal) tcsetattr(tty, TCSAFLUSH, &saved);
    (void)!write(tty, "\n", 1);
    close(tty);
    if (!is_terminal) return std::nullopt;
    return line;
}

}  // namespace rk::platform
