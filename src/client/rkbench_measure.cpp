#include "client/rkbench_measure.h"

#include <algorithm>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <latch>
#include <random>
#include <thread>

namespace rk::bench {

using asio::ip::tcp;

RunningServer::~RunningServer() {
    if (child.pid >= 0) platform::stop_child(child);
    std::error_code ignored;
    if (!home.empty()) std::filesystem::remove_all(home, ignored);
}

bool RunningServer::start(const std::string& server_path) {
    home =
        std::filesystem::temp_directory_path() /
        ("rkbench-" + std::to_string(std::chrono::system_clock::now().time_since_epoch().count()));
    std::filesystem::create_directories(home);
    child = platform::spawn(
        {server_path, "--home", home.string(), "--port", "0", "--log-level", "warn"});
    const std::string line = platform::read_line(child);
    const auto colon = line.rfind(':');
    if (child.pid < 0 || colon == std::string::npos) {
        std::fprintf(stderr, "rkbench: the server did not start: %s\n", line.c_str());
        return false;
    }
    port = static_cast<std::uint16_t>(std::stoi(line.substr(colon + 1)));
    return true;
}

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double mb_per_second(std::uint64_t bytes, double seconds) { return double(bytes) / 1e6 / seconds; }

std::vector<std::uint8_t> noise(std::uint64_t size, std::uint64_t seed) {
    std::vector<std::uint8_t> bytes(size);
    std::mt19937_64 random(seed);
    std::size_t at = 0;
    for (; at + 8 <= bytes.size(); at += 8) {
        const std::uint64_t word = random();
        std::memcpy(bytes.data() + at, &word, 8);
    }
    for (; at < bytes.size(); ++at) bytes[at] = std::uint8_t(random());
    return bytes;
}

bool write_file(const std::filesystem::path& path, std::span<const std::uint8_t> bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    return bool(out);
}

namespace {

asio::awaitable<void> drain(tcp::socket& socket, std::uint64_t& received) {
    std::vector<std::uint8_t> block(64 * 1024);
    for (;;) {
        std::error_code ec;
        const std::size_t n = co_await socket.async_read_some(
            asio::buffer(block), asio::redirect_error(asio::use_awaitable, ec));
        received += n;
        if (ec) co_return;
    }
}

}  // namespace

std::optional<double> plain_tcp_seconds(std::span<const std::uint8_t> bytes, int senders) {
    asio::io_context io;
    tcp::acceptor acceptor(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
    const tcp::endpoint where = acceptor.local_endpoint();
    std::atomic<int> connected = 0;
    std::latch all_tried(senders);
    std::latch go(1);
    std::vector<std::thread> threads;
    threads.reserve(std::size_t(senders));
    for (int i = 0; i < senders; ++i) {
        threads.emplace_back([&] {
            asio::io_context own;
            tcp::socket socket(own);
            std::error_code ec;
            socket.connect(where, ec);
            if (!ec) ++connected;
            all_tried.count_down();
            go.wait();
            if (!ec) asio::write(socket, asio::buffer(bytes.data(), bytes.size()), ec);
        });
    }
    // A connect is complete once queued at the listener, so every sender
    // that got through can be accepted before the clock starts.
    all_tried.wait();
    std::vector<tcp::socket> sockets;
    std::error_code ec;
    for (int i = 0; i < connected.load() && !ec; ++i) sockets.push_back(acceptor.accept(ec));
    std::uint64_t received = 0;
    for (tcp::socket& socket : sockets) asio::co_spawn(io, drain(socket, received), asio::detached);
    const auto start = Clock::now();
    go.count_down();
    io.run();
    const double seconds = seconds_since(start);
    for (std::thread& thread : threads) thread.join();
    if (received != bytes.size() * std::uint64_t(senders)) return std::nullopt;
    return seconds;
}

void Latencies::add(const Latencies& other) {
    samples_.insert(samples_.end(), other.samples_.begin(), other.samples_.end());
}

double Latencies::percentile(double fraction) const {
    if (samples_.empty()) return 0;
    std::vector<double> sorted = samples_;
    const auto rank = std::size_t(std::ceil(fraction * double(sorted.size())));
    const std::size_t at = std::clamp<std::size_t>(rank, 1, sorted.size()) - 1;
    std::nth_element(sorted.begin(), sorted.begin() + std::ptrdiff_t(at), sorted.end());
    return sorted[at];
}

std::unique_ptr<client::Connection> log_on(std::uint16_t port) {
    std::error_code ec;
    auto link = client::Connection::connect("127.0.0.1", port, ec);
    if (!link || ec) return nullptr;
    if (link->logon(kUser, kUser).status != client::Logon::accepted) return nullptr;
    return link;
}

int fail(const char* what) {
    std::fprintf(stderr, "rkbench: %s\n", what);
    return 1;
}

}  // namespace rk::bench
