// What every rkbench run measures with: the server it starts, the bytes it
// carries, the plain-TCP baseline, timing and latency percentiles.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "client/connection.h"
#include "platform/process.h"

namespace rk::bench {

using Clock = std::chrono::steady_clock;

inline constexpr const char* kUser = "bench";
inline constexpr std::uint64_t kMiB = 1u << 20;
// Each timed figure is the best of this many runs, the baselines' as well:
// loopback copies take milliseconds and one scheduling hiccup would decide.
inline constexpr int kRounds = 3;

// A server of our own in a fresh temporary home, stopped and its home
// removed when this goes, whichever way the benchmark ends.
struct RunningServer {
    std::filesystem::path home;
    platform::Child child;
    std::uint16_t port = 0;

    RunningServer() = default;
    RunningServer(const RunningServer&) = delete;
    RunningServer& operator=(const RunningServer&) = delete;
    ~RunningServer();

    bool start(const std::string& server_path);
    // The bench user's folder.
    std::filesystem::path root() const { return home / kUser; }
};

double seconds_since(Clock::time_point start);
// Decimal megabytes, as network figures are usually given.
double mb_per_second(std::uint64_t bytes, double seconds);

// Incompressible, so that neither side wins by compressing a chunk the other
// would have to carry whole; seeded, so that runs carry the same bytes.
std::vector<std::uint8_t> noise(std::uint64_t size, std::uint64_t seed);
bool write_file(const std::filesystem::path& path, std::span<const std::uint8_t> bytes);

// Seconds for `senders` connections, each on its own thread as the clients
// are, to carry `bytes` each over loopback to one receiver with nothing in
// between: the floor every transfer through a server is held against. The
// receiver keeps only a block at a time, as a copy would. The clock runs
// from the start signal to the last byte in.
std::optional<double> plain_tcp_seconds(std::span<const std::uint8_t> bytes, int senders = 1);

// The best of kRounds runs of `once`, which gives seconds or nothing when
// it failed; one failure spoils the figure.
template <typename Once>
std::optional<double> best_of(Once&& once) {
    std::optional<double> best;
    for (int round = 0; round < kRounds; ++round) {
        const std::optional<double> seconds = once();
        if (!seconds) return std::nullopt;
        if (!best || *seconds < *best) best = seconds;
    }
    return best;
}

// Durations of one kind of step, in seconds; percentiles by nearest rank.
class Latencies {
public:
    void add(double seconds) { samples_.push_back(seconds); }
    void add(const Latencies& other);
    std::size_t count() const { return samples_.size(); }
    // `fraction` in (0, 1]; 0 when there is no sample.
    double percentile(double fraction) const;

private:
    std::vector<double> samples_;
};

// A connection to 127.0.0.1:`port` logged on as the bench user; null when
// either step failed.
std::unique_ptr<client::Connection> log_on(std::uint16_t port);

// Writes `what` to stderr; returns the exit code of a failed run.
int fail(const char* what);

}  // namespace rk::bench
