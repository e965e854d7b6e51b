// rkbench connections: many connections opened at once by one thread of
// coroutines, and anonymous account creation beside a client's small
// requests.
#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>
#include <atomic>
#include <cstdio>
#include <exception>
#include <list>
#include <thread>

#include "client/rkbench_measure.h"
#include "client/rkbench_runs.h"
#include "client/transfers.h"
#include "wire/codes.h"
#include "wire/framer.h"
#include "wire/packet.h"
#include "wire/payload.h"

namespace rk::bench {

namespace {

using asio::ip::tcp;
using wire::code_of;

// Connections in flight at once while opening; the rest wait their turn.
constexpr int kParallel = 256;
// Files in the folder the small requests list.
constexpr int kSmallFiles = 16;
// Small listings measured quiet, before the creations start.
constexpr int kQuietListings = 500;

struct Bench {
    asio::io_context io;
    tcp::endpoint server;
    std::list<tcp::socket> kept;
    int failures = 0;
};

std::vector<std::uint8_t> request(wire::Request code, std::int32_t arg1,
                                  std::span<const std::uint8_t> payload) {
    wire::PacketHead head = wire::packet_head(code, true);
    head.arg1 = arg1;
    return wire::encode_packet(head, payload);
}

// Reads packets until a reply arrives and gives its code, 0 when the
// connection ends first; acknowledges what asks. A logon or an account
// creation has one reply.
asio::awaitable<std::uint8_t> await_reply(tcp::socket& socket) {
    wire::Framer framer;
    std::array<std::uint8_t, 4096> buffer{};
    wire::Framer::View raw;
    for (;;) {
        while (framer.next(raw) == wire::Framer::Result::packet) {
            const auto packet = wire::decode_packet(raw);
            if (!packet || packet->head.kind == std::uint8_t(wire::Kind::ack)) continue;
            if (packet->head.want_ack) {
                std::error_code ec;
                co_await asio::async_write(socket,
                                           asio::buffer(wire::encode_ack(0, packet->head.seq)),
                                           asio::redirect_error(asio::use_awaitable, ec));
            }
            if (packet->head.kind == std::uint8_t(wire::Kind::reply)) co_return packet->head.code;
        }
        std::error_code ec;
        const std::size_t n = co_await socket.async_read_some(
            asio::buffer(buffer), asio::redirect_error(asio::use_awaitable, ec));
        if (ec) co_return 0;
        framer.feed(std::span(buffer).first(n));
    }
}

// Connects, and sends `first` when it is not empty; false when either fails.
asio::awaitable<bool> connect_and_send(tcp::socket& socket, const tcp::endpoint& server,
                                       std::span<const std::uint8_t> first) {
    std::error_code ec;
    co_await socket.async_connect(server, asio::redirect_error(asio::use_awaitable, ec));
    if (!ec && !first.empty()) {
        co_await asio::async_write(socket, asio::buffer(first.data(), first.size()),
                                   asio::redirect_error(asio::use_awaitable, ec));
    }
    co_return !ec;
}

// One connection: connect, and with `logon` log on and stay.
asio::awaitable<void> open_one(Bench& bench, bool logon) {
    tcp::socket socket(bench.io);
    const auto bytes = logon ? request(wire::Request::logon, wire::kProtocolVersion,
                                       wire::write_credentials(kUser, kUser))
                             : std::vector<std::uint8_t>{};
    bool ok = co_await connect_and_send(socket, bench.server, bytes);
    if (ok && logon) {
        ok = co_await await_reply(socket) == code_of(wire::Reply::logon_accepted);
    }
    if (!ok) ++bench.failures;
    if (ok && logon) bench.kept.push_back(std::move(socket));
}

// A fresh connection asks for an account of its own and waits for the answer.
asio::awaitable<void> create_one(Bench& bench, std::string name) {
    tcp::socket socket(bench.io);
    const auto bytes =
        request(wire::Request::create_account, 0, wire::write_credentials(name, name));
    bool ok = co_await connect_and_send(socket, bench.server, bytes);
    if (ok) {
        ok = co_await await_reply(socket) == code_of(wire::Reply::account_created);
    }
    if (!ok) ++bench.failures;
}

// Runs `count` coroutines made by `make(i)` on the bench's loop, `parallel`
// at a time; returns the seconds taken.
template <typename Make>
double run_many(Bench& bench, int count, int parallel, Make&& make) {
    bench.io.restart();  // a loop that ran out of work stays stopped
    const auto start = Clock::now();
    int started = 0;
    int pending = 0;
    while (started < count || pending > 0) {
        while (started < count && pending < parallel) {
            ++pending;
            asio::co_spawn(bench.io, make(started++),
                           [&pending](std::exception_ptr) { --pending; });
        }
        bench.io.run_one();
    }
    return seconds_since(start);
}

// Small listings one after another on one logged-on connection, as many as
// `more` allows; a failed one ends the loop and is counted.
Latencies small_listings(client::Connection& link, int& failures,
                         const std::function<bool(std::size_t done)>& more) {
    Latencies took;
    while (more(took.count())) {
        const auto start = Clock::now();
        const client::Listing listing = client::list(link, "\\small");
        if (listing.status != client::Transfer::done || listing.files.size() != kSmallFiles) {
            ++failures;
            break;
        }
        took.add(seconds_since(start));
    }
    return took;
}

// N fresh names created `in_flight` at a time while another client lists a
// small folder over and over; its p99 is held against the same loop quiet.
int account_creation(Bench& bench, std::uint16_t port, const ConnectionsOptions& options) {
    auto link = log_on(port);
    if (!link) return fail("cannot log on");
    int list_failures = 0;
    const Latencies quiet = small_listings(*link, list_failures,
                                           [](std::size_t done) { return done < kQuietListings; });

    std::atomic<bool> creating = true;
    Latencies busy;
    std::thread lister([&] {
        busy = small_listings(*link, list_failures, [&](std::size_t) { return creating.load(); });
    });
    bench.failures = 0;
    const double seconds = run_many(bench, options.accounts, options.in_flight, [&](int i) {
        char name[32];
        std::snprintf(name, sizeof name, "anon%06d", i);
        return create_one(bench, name);
    });
    creating = false;
    lister.join();

    const double quiet_p99 = quiet.percentile(0.99) * 1e3;
    const double busy_p99 = busy.percentile(0.99) * 1e3;
    std::printf(
        "account creation:             %.0f per second (%d new names, %d at a time, %d "
        "failed)\n",
        (options.accounts - bench.failures) / seconds, options.accounts, options.in_flight,
        bench.failures);
    std::printf(
        "small listing p99 meanwhile:  %.3f ms, ratio to quiet p99: %.2f (quiet %.3f ms; "
        "%zu listings meanwhile, %zu quiet, %d failed)\n",
        busy_p99, busy_p99 / quiet_p99, quiet_p99, busy.count(), quiet.count(), list_failures);
    return bench.failures == 0 && list_failures == 0 ? 0 : 1;
}

}  // namespace

int run_connections(const std::string& server_path, const ConnectionsOptions& options) {
    const int clients = options.clients;
    const auto limit = platform::raise_open_file_limit();
    if (limit < std::uint64_t(clients) + 64) {
        std::fprintf(stderr, "rkbench: open-file limit %llu is too low for %d clients\n",
                     static_cast<unsigned long long>(limit), clients);
        return 1;
    }
    RunningServer server;
    if (!server.start(server_path)) return 1;
    Bench bench;
    bench.server = {asio::ip::make_address("127.0.0.1"), server.port};
    run_many(bench, 1, 1, [&](int) { return create_one(bench, kUser); });
    if (bench.failures != 0) return fail("could not create the bench account");
    std::filesystem::create_directories(server.root() / "small");
    const std::vector<std::uint8_t> small = noise(4096, 5);
    for (int i = 0; i < kSmallFiles; ++i) {
        if (!write_file(server.root() / "small" / ("s" + std::to_string(i)), small))
            return fail("cannot write a small file");
    }

    // Baseline: bare TCP connects, closed at once, on the same server.
    const double connect_seconds =
        run_many(bench, clients, kParallel, [&](int) { return open_one(bench, false); });
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const std::uint64_t rss_before = platform::resident_bytes(server.child.pid);
    const double logon_seconds =
        run_many(bench, clients, kParallel, [&](int) { return open_one(bench, true); });
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const std::uint64_t rss_after = platform::resident_bytes(server.child.pid);

    const int logged_on = clients - bench.failures;
    const double connects_per_second = clients / connect_seconds;
    const double logons_per_second = logged_on / logon_seconds;
    std::printf("clients:                      %d (%d failed)\n", clients, bench.failures);
    std::printf(
        "logons per second:            %.0f, ratio to bare TCP connects: %.2f (baseline "
        "%.0f connects/s)\n",
        logons_per_second, logons_per_second / connects_per_second, connects_per_second);
    std::printf("server memory per connection: %.2f KiB (resident %llu -> %llu KiB)\n",
                double(rss_after - rss_before) / 1024.0 / std::max(1, logged_on),
                static_cast<unsigned long long>(rss_before / 1024),
                static_cast<unsigned long long>(rss_after / 1024));
    std::fflush(stdout);
    const bool all_logged_on = bench.failures == 0;
    bench.kept.clear();
    const int creation = account_creation(bench, server.port, options);
    return all_logged_on && creation == 0 ? 0 : 1;
}

}  // namespace rk::bench
