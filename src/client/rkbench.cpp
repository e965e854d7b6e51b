// rkbench: load generator. Starts its own rkserver in a temporary home and
// reports every figure against a baseline measured in the same run.
//
//   rkbench connections --clients N   N connections that log on and stay:
//                                     logons per second against bare TCP
//                                     connects per second, and the server's
//                                     resident memory per connection.
#include <CLI/CLI.hpp>

#include <asio/co_spawn.hpp>
#include <asio/connect.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/read.hpp>
#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <list>
#include <thread>

#include "platform/process.h"
#include "wire/codes.h"
#include "wire/framer.h"
#include "wire/packet.h"
#include "wire/payload.h"

namespace {

using namespace rk;
using asio::ip::tcp;
using Clock = std::chrono::steady_clock;

// Connections in flight at once while opening; the rest wait their turn.
constexpr int kParallel = 256;

struct Bench {
    asio::io_context io;
    tcp::endpoint server;
    std::list<tcp::socket> kept;
    int failures = 0;
};

std::vector<std::uint8_t> request(std::uint8_t code, std::int32_t arg1,
                                  std::span<const std::uint8_t> payload) {
    wire::PacketHead head;
    head.code = code;
    head.kind = std::uint8_t(wire::Kind::request);
    head.want_ack = wire::kWantAck;
    head.arg1 = arg1;
    return wire::encode_packet(head, payload);
}

// Reads packets until one with `code` arrives; acknowledges what asks.
asio::awaitable<bool> await_code(tcp::socket& socket, wire::Framer& framer, std::uint8_t code) {
    std::array<std::uint8_t, 4096> buffer{};
    std::vector<std::uint8_t> raw;
    for (;;) {
        while (framer.next(raw) == wire::Framer::Result::packet) {
            const auto packet = wire::decode_packet(raw);
            if (!packet || packet->head.kind == std::uint8_t(wire::Kind::ack)) continue;
            if (packet->head.want_ack) {
                std::error_code ec;
                co_await asio::async_write(socket, asio::buffer(wire::encode_ack(0, packet->head.seq)),
                                           asio::redirect_error(asio::use_awaitable, ec));
            }
            if (packet->head.code == code) co_return true;
        }
        std::error_code ec;
        const std::size_t n = co_await socket.async_read_some(
            asio::buffer(buffer), asio::redirect_error(asio::use_awaitable, ec));
        if (ec) co_return false;
        framer.feed(std::span(buffer).first(n));
    }
}

// One connection: connect, and with `logon` log on and stay.
asio::awaitable<void> open_one(Bench& bench, bool logon, int& pending) {
    tcp::socket socket(bench.io);
    std::error_code ec;
    co_await socket.async_connect(bench.server, asio::redirect_error(asio::use_awaitable, ec));
    bool ok = !ec;
    if (ok && logon) {
        const auto creds = wire::write_credentials("bench", "bench");
        co_await asio::async_write(
            socket, asio::buffer(request(std::uint8_t(wire::Request::logon), wire::kProtocolVersion, creds)),
            asio::redirect_error(asio::use_awaitable, ec));
        wire::Framer framer;
        ok = !ec && co_await await_code(socket, framer, std::uint8_t(wire::Reply::logon_accepted));
    }
    if (!ok) ++bench.failures;
    if (ok && logon) bench.kept.push_back(std::move(socket));
    --pending;
}

// Opens `count` connections, kParallel at a time; returns the seconds taken.
double open_many(Bench& bench, int count, bool logon) {
    bench.io.restart();  // a loop that ran out of work stays stopped
    const auto start = Clock::now();
    int started = 0;
    int pending = 0;
    while (started < count || pending > 0) {
        while (started < count && pending < kParallel) {
            ++pending;
            ++started;
            asio::co_spawn(bench.io, open_one(bench, logon, pending), asio::detached);
        }
        bench.io.run_one();
    }
    return std::chrono::duration<double>(Clock::now() - start).count();
}

bool create_account(Bench& bench) {
    tcp::socket socket(bench.io);
    std::error_code ec;
    socket.connect(bench.server, ec);
    if (ec) return false;
    const auto creds = wire::write_credentials("bench", "bench");
    asio::write(socket, asio::buffer(request(std::uint8_t(wire::Request::create_account), 0, creds)), ec);
    bool created = false;
    asio::co_spawn(
        bench.io,
        [&]() -> asio::awaitable<void> {
            wire::Framer framer;
            created = co_await await_code(socket, framer, std::uint8_t(wire::Reply::account_created));
        },
        asio::detached);
    bench.io.run();
    bench.io.restart();
    return created;
}

int run_connections(const std::string& server_path, int clients) {
    const auto limit = platform::raise_open_file_limit();
    if (limit < std::uint64_t(clients) + 64) {
        std::fprintf(stderr, "rkbench: open-file limit %llu is too low for %d clients\n",
                     static_cast<unsigned long long>(limit), clients);
        return 1;
    }
    const auto home = std::filesystem::temp_directory_path() /
                      ("rkbench-" + std::to_string(std::chrono::system_clock::now().time_since_epoch().count()));
    std::filesystem::create_directories(home);
    auto child = platform::spawn(
        {server_path, "--home", home.string(), "--port", "0", "--log-level", "warn"});
    const std::string line = platform::read_line(child);
    const auto colon = line.rfind(':');
    if (child.pid < 0 || colon == std::string::npos) {
        std::fprintf(stderr, "rkbench: the server did not start: %s\n", line.c_str());
        platform::stop_child(child);
        return 1;
    }
    Bench bench;
    bench.server = {asio::ip::make_address("127.0.0.1"),
                    static_cast<std::uint16_t>(std::stoi(line.substr(colon + 1)))};
    if (!create_account(bench)) {
        std::fprintf(stderr, "rkbench: could not create the bench account\n");
        platform::stop_child(child);
        return 1;
    }

    // Baseline: bare TCP connects, closed at once, on the same server.
    const double connect_seconds = open_many(bench, clients, false);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const std::uint64_t rss_before = platform::resident_bytes(child.pid);
    const double logon_seconds = open_many(bench, clients, true);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const std::uint64_t rss_after = platform::resident_bytes(child.pid);

    const double connects_per_second = clients / connect_seconds;
    const double logons_per_second = (clients - bench.failures) / logon_seconds;
    std::printf("clients:                      %d (%d failed)\n", clients, bench.failures);
    std::printf("logons per second:            %.0f\n", logons_per_second);
    std::printf("  ratio to bare TCP connects: %.2f (baseline %.0f connects/s)\n",
                logons_per_second / connects_per_second, connects_per_second);
    std::printf("server memory per connection: %.2f KiB (resident %llu -> %llu KiB)\n",
                double(rss_after - rss_before) / 1024.0 / std::max(1, clients - bench.failures),
                static_cast<unsigned long long>(rss_before / 1024),
                static_cast<unsigned long long>(rss_after / 1024));
    bench.kept.clear();
    platform::stop_child(child);
    std::filesystem::remove_all(home);
    return bench.failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"rkbench: load generator for rkserver"};
    app.require_subcommand(1);
    std::string server = (std::filesystem::path(platform::executable_folder()) / "rkserver").string();
    app.add_option("--server", server, "the rkserver program to start");
    int clients = 1000;
    auto* connections = app.add_subcommand("connections", "connections that log on and stay");
    connections->add_option("--clients", clients, "number of connections")->check(CLI::Range(1, 1000000));
    CLI11_PARSE(app, argc, argv);
    return run_connections(server, clients);
}
