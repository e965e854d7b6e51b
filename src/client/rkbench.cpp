// rkbench: load generator. Starts its own rkserver in a temporary home and
// reports every figure against a baseline measured in the same run.
//
//   rkbench connections --clients N   N connections that log on and stay:
//                                     logons per second against bare TCP
//                                     connects per second, and the server's
//                                     resident memory per connection.
//   rkbench files [--size-mib N] [--files N] [--tree-files N] [--clients N]
//                                     a large download and upload and many
//                                     small files in batches against plain
//                                     TCP carrying the same bytes, a large
//                                     listing against `find`, then many
//                                     clients downloading at once.
#include <fcntl.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
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
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <latch>
#include <list>
#include <optional>
#include <random>
#include <set>
#include <thread>

#include "client/connection.h"
#include "client/transfers.h"
#include "files/batch.h"
#include "platform/process.h"
#include "wire/batch.h"
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
        co_await asio::async_write(socket,
                                   asio::buffer(request(std::uint8_t(wire::Request::logon),
                                                        wire::kProtocolVersion, creds)),
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
    asio::write(socket,
                asio::buffer(request(std::uint8_t(wire::Request::create_account), 0, creds)), ec);
    bool created = false;
    asio::co_spawn(
        bench.io,
        [&]() -> asio::awaitable<void> {
            wire::Framer framer;
            created =
                co_await await_code(socket, framer, std::uint8_t(wire::Reply::account_created));
        },
        asio::detached);
    bench.io.run();
    bench.io.restart();
    return created;
}

// A server of our own in a fresh temporary home, stopped and its home
// removed when this goes, whichever way the benchmark ends.
struct RunningServer {
    std::filesystem::path home;
    platform::Child child;
    std::uint16_t port = 0;

    RunningServer() = default;
    RunningServer(const RunningServer&) = delete;
    RunningServer& operator=(const RunningServer&) = delete;
    ~RunningServer() {
        if (child.pid >= 0) platform::stop_child(child);
        std::error_code ignored;
        if (!home.empty()) std::filesystem::remove_all(home, ignored);
    }

    bool start(const std::string& server_path) {
        home = std::filesystem::temp_directory_path() /
               ("rkbench-" +
                std::to_string(std::chrono::system_clock::now().time_since_epoch().count()));
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
};

int run_connections(const std::string& server_path, int clients) {
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
    if (!create_account(bench)) {
        std::fprintf(stderr, "rkbench: could not create the bench account\n");
        return 1;
    }

    // Baseline: bare TCP connects, closed at once, on the same server.
    const double connect_seconds = open_many(bench, clients, false);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const std::uint64_t rss_before = platform::resident_bytes(server.child.pid);
    const double logon_seconds = open_many(bench, clients, true);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const std::uint64_t rss_after = platform::resident_bytes(server.child.pid);

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
    return bench.failures == 0 ? 0 : 1;
}

constexpr const char* kUser = "bench";
constexpr std::uint64_t kMiB = 1u << 20;
constexpr std::uint64_t kBatchFileSize = 4096;
constexpr std::uint64_t kClientFileSize = kMiB;
// Each timed figure is the best of this many runs, the baselines' as well:
// loopback copies take milliseconds and one scheduling hiccup would decide.
constexpr int kRounds = 3;
// Files per folder of the listed tree.
constexpr int kTreeFanOut = 1000;

struct FilesOptions {
    int size_mib = 64;
    int files = 10000;
    int tree_files = 100000;
    int clients = 100;
};

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Decimal megabytes, as network figures are usually given.
double mb_per_second(std::uint64_t bytes, double seconds) { return double(bytes) / 1e6 / seconds; }

// Incompressible, so that neither side wins by compressing a chunk the other
// would have to carry whole; seeded, so that runs carry the same bytes.
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

// Seconds to carry `bytes` from one socket to another over loopback with
// nothing in between: the floor every transfer through the server is held
// against. The receiver keeps only a block at a time, as a copy would.
std::optional<double> plain_tcp_seconds(std::span<const std::uint8_t> bytes) {
    asio::io_context io;
    tcp::acceptor acceptor(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
    const tcp::endpoint where = acceptor.local_endpoint();
    const auto start = Clock::now();
    std::thread sender([&bytes, where] {
        asio::io_context own;
        tcp::socket socket(own);
        std::error_code ec;
        socket.connect(where, ec);
        if (!ec) asio::write(socket, asio::buffer(bytes.data(), bytes.size()), ec);
    });
    std::error_code ec;
    tcp::socket socket = acceptor.accept(ec);
    std::vector<std::uint8_t> block(64 * 1024);
    std::uint64_t received = 0;
    while (!ec && received < bytes.size()) {
        received += socket.read_some(asio::buffer(block), ec);
    }
    const double seconds = seconds_since(start);
    sender.join();
    if (received != bytes.size()) return std::nullopt;
    return seconds;
}

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

std::unique_ptr<client::Connection> log_on(std::uint16_t port) {
    std::error_code ec;
    auto link = client::Connection::connect("127.0.0.1", port, ec);
    if (!link || ec) return nullptr;
    if (link->logon(kUser, kUser).status != client::Logon::accepted) return nullptr;
    return link;
}

std::string batch_name(int index) {
    char name[32];
    std::snprintf(name, sizeof name, "f%05d.bin", index);
    return name;
}

std::string client_name(int index) {
    char name[32];
    std::snprintf(name, sizeof name, "c%04d.bin", index);
    return name;
}

// Empty files through bare syscalls: a hundred thousand of them through
// streams would cost more than the listing being measured.
bool build_tree(const std::filesystem::path& tree, int files) {
    char name[32];
    for (int folder = 0; folder * kTreeFanOut < files; ++folder) {
        std::snprintf(name, sizeof name, "d%03d", folder);
        const std::filesystem::path dir = tree / name;
        std::error_code ec;
        std::filesystem::create_directories(dir, ec);
        if (ec) return false;
        const int count = std::min(kTreeFanOut, files - folder * kTreeFanOut);
        for (int i = 0; i < count; ++i) {
            std::snprintf(name, sizeof name, "f%04d", i);
            const int fd = ::open((dir / name).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
            if (fd < 0) return false;
            ::close(fd);
        }
    }
    return true;
}

// Every name once, in requests of as many names as one batch carries; the
// names a batch left out go into the next request.
std::optional<double> batch_seconds(client::Connection& link, int files) {
    // The server stops packing after the entry that crosses its limit;
    // asking for more names than fit would only cost bytes.
    const auto per_request =
        std::size_t(files::kBatchStreamLimit / (kBatchFileSize + wire::kBatchEntryHead) + 1);
    std::vector<int> pending(static_cast<std::size_t>(files));
    for (int i = 0; i < files; ++i) pending[std::size_t(i)] = i;
    const auto start = Clock::now();
    // Each request must take at least one file; more requests than files
    // mean a server that stopped giving.
    for (int request = 0; !pending.empty(); ++request) {
        if (request > files) return std::nullopt;
        const std::size_t take = std::min(per_request, pending.size());
        std::vector<std::string> names;
        names.reserve(take);
        for (std::size_t i = 0; i < take; ++i) {
            names.push_back("\\batch\\" + batch_name(pending[i]));
        }
        const client::Batch batch = client::download_batch(link, names);
        if (batch.status != client::Transfer::done || batch.entries.empty()) return std::nullopt;
        std::set<int> answered;
        for (const client::BatchEntry& entry : batch.entries) {
            if (entry.length != std::int64_t(kBatchFileSize) || entry.tag < 0 ||
                std::size_t(entry.tag) >= take) {
                return std::nullopt;
            }
            answered.insert(entry.tag);
        }
        std::vector<int> left;
        for (std::size_t i = 0; i < pending.size(); ++i) {
            if (i >= take || !answered.contains(int(i))) left.push_back(pending[i]);
        }
        pending = std::move(left);
    }
    return seconds_since(start);
}

struct Crowd {
    double seconds = 0;
    int failures = 0;
};

// `clients` connections, each on its own thread since the client library
// blocks, log on first and start downloading together; the clock runs from
// the start signal to the last file in.
Crowd crowd_download(std::uint16_t port, int clients, const std::filesystem::path& out) {
    std::latch ready(clients);
    std::latch go(1);
    std::vector<int> failed(std::size_t(clients), 0);
    std::vector<std::thread> threads;
    threads.reserve(std::size_t(clients));
    for (int i = 0; i < clients; ++i) {
        threads.emplace_back([&, i] {
            auto link = log_on(port);
            ready.count_down();
            go.wait();
            const std::string name = client_name(i);
            const bool ok =
                link && client::download(*link, "\\clients\\" + name, out / name).status ==
                            client::Transfer::done;
            failed[std::size_t(i)] = ok ? 0 : 1;
        });
    }
    ready.wait();
    const auto start = Clock::now();
    go.count_down();
    for (std::thread& thread : threads) thread.join();
    Crowd crowd;
    crowd.seconds = seconds_since(start);
    for (int f : failed) crowd.failures += f;
    return crowd;
}

int fail(const char* what) {
    std::fprintf(stderr, "rkbench: %s\n", what);
    return 1;
}

int run_files(const std::string& server_path, const FilesOptions& options) {
    const auto limit = platform::raise_open_file_limit();
    if (limit < std::uint64_t(options.clients) + 64) return fail("open-file limit too low");
    RunningServer server;
    if (!server.start(server_path)) return 1;
    // Our own files (the upload's source, the downloads' targets) live in
    // the home too, so that they go with it.
    const std::filesystem::path scratch = server.home / "bench-local";
    const std::filesystem::path root = server.home / kUser;
    {
        std::error_code ec;
        auto link = client::Connection::connect("127.0.0.1", server.port, ec);
        if (!link || link->create_account(kUser, kUser) != client::AccountResult::created) {
            return fail("could not create the bench account");
        }
    }
    std::filesystem::create_directories(scratch);
    std::filesystem::create_directories(root / "batch");
    std::filesystem::create_directories(root / "clients");

    const std::uint64_t big_size = std::uint64_t(options.size_mib) * kMiB;
    std::fprintf(stderr, "rkbench: writing the files to serve\n");
    const std::vector<std::uint8_t> big = noise(big_size, 1);
    if (!write_file(root / "big.bin", big) || !write_file(scratch / "up.bin", big)) {
        return fail("cannot write the large file");
    }
    const std::uint64_t batch_bytes = std::uint64_t(options.files) * kBatchFileSize;
    const std::vector<std::uint8_t> small = noise(batch_bytes, 2);
    for (int i = 0; i < options.files; ++i) {
        const std::span<const std::uint8_t> one(small.data() + std::size_t(i) * kBatchFileSize,
                                                kBatchFileSize);
        if (!write_file(root / "batch" / batch_name(i), one))
            return fail("cannot write a small file");
    }
    const std::uint64_t crowd_bytes = std::uint64_t(options.clients) * kClientFileSize;
    const std::vector<std::uint8_t> per_client = noise(kClientFileSize, 3);
    for (int i = 0; i < options.clients; ++i) {
        if (!write_file(root / "clients" / client_name(i), per_client)) {
            return fail("cannot write a client's file");
        }
    }
    std::fprintf(stderr, "rkbench: building a tree of %d files\n", options.tree_files);
    const auto tree_start = Clock::now();
    if (!build_tree(root / "tree", options.tree_files)) return fail("cannot build the tree");
    const double tree_build = seconds_since(tree_start);

    auto link = log_on(server.port);
    if (!link) return fail("cannot log on");

    std::printf("files (MB = 10^6 bytes; every time the best of %d runs)\n", kRounds);

    // 1. One large download against the same bytes over bare loopback.
    const auto big_tcp = best_of([&] { return plain_tcp_seconds(big); });
    const auto big_down = best_of([&]() -> std::optional<double> {
        const auto start = Clock::now();
        const client::Download got = client::download(*link, "\\big.bin", scratch / "big.bin");
        if (got.status != client::Transfer::done || got.size != big_size) return std::nullopt;
        return seconds_since(start);
    });
    if (!big_tcp || !big_down) return fail("the large download failed");
    const double down_rate = mb_per_second(big_size, *big_down);
    const double big_tcp_rate = mb_per_second(big_size, *big_tcp);
    std::printf("download %d MiB:  %.1f MB/s, ratio to plain TCP: %.3f (plain TCP %.0f MB/s)\n",
                options.size_mib, down_rate, down_rate / big_tcp_rate, big_tcp_rate);
    std::fflush(stdout);

    // 2. Many small files in as many batches as they take.
    const auto small_tcp = best_of([&] { return plain_tcp_seconds(small); });
    const auto small_batch = best_of([&] { return batch_seconds(*link, options.files); });
    if (!small_tcp || !small_batch) return fail("the batch download failed");
    const double batch_rate = mb_per_second(batch_bytes, *small_batch);
    const double small_tcp_rate = mb_per_second(batch_bytes, *small_tcp);
    std::printf(
        "batch %d x 4 KiB: %.1f MB/s (%.0f files/s), ratio to plain TCP: %.3f "
        "(plain TCP %.0f MB/s)\n",
        options.files, batch_rate, options.files / *small_batch, batch_rate / small_tcp_rate,
        small_tcp_rate);
    std::fflush(stdout);

    // 3. One large upload against the same baseline as the download.
    const auto big_up = best_of([&]() -> std::optional<double> {
        const auto start = Clock::now();
        const client::Upload sent = client::upload(*link, scratch / "up.bin", "\\up.bin");
        if (sent.status != client::Transfer::done) return std::nullopt;
        const double seconds = seconds_since(start);
        std::error_code ec;
        if (std::filesystem::file_size(root / "up.bin", ec) != big_size || ec) return std::nullopt;
        return seconds;
    });
    if (!big_up) return fail("the large upload failed");
    const double up_rate = mb_per_second(big_size, *big_up);
    std::printf("upload %d MiB:    %.1f MB/s, ratio to plain TCP: %.3f (plain TCP %.0f MB/s)\n",
                options.size_mib, up_rate, up_rate / big_tcp_rate, big_tcp_rate);
    std::fflush(stdout);

    // 4. A listing of the whole tree against find printing the same facts.
    const std::string find =
        "find '" + (root / "tree").string() + "' -printf '%s %T@ %p\\n' > /dev/null";
    const auto find_time = best_of([&]() -> std::optional<double> {
        const auto start = Clock::now();
        if (std::system(find.c_str()) != 0) return std::nullopt;
        return seconds_since(start);
    });
    const auto list_time = best_of([&]() -> std::optional<double> {
        const auto start = Clock::now();
        const client::Listing listing = client::list(*link, "\\tree");
        if (listing.status != client::Transfer::done ||
            listing.files.size() != std::size_t(options.tree_files)) {
            return std::nullopt;
        }
        return seconds_since(start);
    });
    if (!find_time || !list_time) return fail("the listing failed");
    std::printf(
        "list %d files: %.3f s (%.0f files/s), time ratio to find: %.2f "
        "(find %.3f s; tree built in %.1f s)\n",
        options.tree_files, *list_time, options.tree_files / *list_time, *list_time / *find_time,
        *find_time, tree_build);
    std::fflush(stdout);

    // 5. Many clients at once; one run, since it is the slowest by far.
    link.reset();
    std::filesystem::create_directories(scratch / "crowd");
    const Crowd crowd = crowd_download(server.port, options.clients, scratch / "crowd");
    const double crowd_rate =
        mb_per_second(crowd_bytes - std::uint64_t(crowd.failures) * kClientFileSize, crowd.seconds);
    std::printf(
        "%d clients x 1 MiB: %.1f MB/s together (%d failed), ratio to one download: %.3f, "
        "to plain TCP: %.3f\n",
        options.clients, crowd_rate, crowd.failures, crowd_rate / down_rate,
        crowd_rate / big_tcp_rate);
    return crowd.failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"rkbench: load generator for rkserver"};
    app.require_subcommand(1);
    std::string server =
        (std::filesystem::path(platform::executable_folder()) / "rkserver").string();
    app.add_option("--server", server, "the rkserver program to start");
    int clients = 1000;
    auto* connections = app.add_subcommand("connections", "connections that log on and stay");
    connections->add_option("--clients", clients, "number of connections")
        ->check(CLI::Range(1, 1000000));
    FilesOptions files;
    auto* transfers =
        app.add_subcommand("files", "downloads, batches, uploads, listings, many clients");
    transfers->add_option("--size-mib", files.size_mib, "size of the large file")
        ->check(CLI::Range(1, 2047));
    transfers->add_option("--files", files.files, "small files fetched in batches")
        ->check(CLI::Range(1, 1000000));
    transfers->add_option("--tree-files", files.tree_files, "files in the listed tree")
        ->check(CLI::Range(1, 1000000));
    transfers->add_option("--clients", files.clients, "clients downloading at once")
        ->check(CLI::Range(1, 1000));
    CLI11_PARSE(app, argc, argv);
    if (*transfers) return run_files(server, files);
    return run_connections(server, clients);
}
