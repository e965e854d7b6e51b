// What the programs ask of processes: where the executable lives, a wait for
// the signals that ask it to stop, and for the benchmark tool a child server
// and its memory.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace rk::platform {

// The running executable's full path, and the folder holding it (without a
// trailing '/').
std::string executable_path();
std::string executable_folder();

// Blocks SIGINT and SIGTERM for the calling thread and every thread it starts
// afterwards, so that only wait() receives them. Create it first in main().
class StopSignals {
public:
    StopSignals();
    // Returns the signal that arrived.
    int wait();
    // Ends a wait() running on `waiter`, as a SIGTERM sent to it would.
    static void wake(std::thread& waiter);
};

// A running process held by a descriptor (pidfd) rather than by its id, so
// that a signal never reaches another process that got the id after it
// ended.
class ProcessHandle {
public:
    // The process with id `pid` as it is now; empty when there is none.
    static std::optional<ProcessHandle> open(int pid);
    ProcessHandle(ProcessHandle&& other) noexcept;
    ProcessHandle& operator=(ProcessHandle&& other) noexcept;
    ~ProcessHandle();

    // Sends SIGTERM; false when the process has ended or may not be
    // signalled by this one.
    bool terminate() const;

private:
    explicit ProcessHandle(int fd) : fd_(fd) {}
    int fd_ = -1;
};

// Raises the soft limit on open files to the hard limit; returns the new
// soft limit. Children started afterwards inherit it.
std::uint64_t raise_open_file_limit();

// A child process whose standard output is read through a pipe.
struct Child {
    int pid = -1;
    int stdout_fd = -1;
};
// Starts `argv[0]` with the given arguments; pid -1 when it cannot start.
Child spawn(const std::vector<std::string>& argv);
// Sends SIGTERM and waits; returns the exit status (-1 if killed or lost).
int stop_child(const Child& child);
// Reads one line from the child's output; empty at its end.
std::string read_line(const Child& child);

// Resident memory of a process in bytes, from /proc; 0 when unknown.
std::uint64_t resident_bytes(int pid);

// The user id of this process, and of the process at the other end of a
// connected local socket (-1 when it cannot be told).
long own_uid();
long peer_uid(int socket_fd);
// Makes a file readable and writable by its owner only.
bool restrict_to_owner(const std::string& path);

// Reads a line from the terminal without echoing it; nullopt without a
// terminal. The prompt goes to the terminal too.
std::optional<std::string> read_secret(const std::string& prompt);

}  // namespace rk::platform
