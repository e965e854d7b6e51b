#include "platform/process.h"

#include <pthread.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <fstream>

namespace rk::platform {

std::string executable_folder() {
    char buffer[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) return ".";
    std::string path(buffer, std::size_t(n));
    const auto slash = path.rfind('/');
    return slash == 0 ? "/" : path.substr(0, slash);
}

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

}  // namespace rk::platform
