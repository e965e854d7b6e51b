// rkbench files: transfers through the real server, each held against plain
// TCP (or `find`) and printed beside the figure the same client code reaches
// against FloorServer, the ideal server inside rkbench.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <latch>
#include <set>
#include <thread>

#include "client/rkbench_floor.h"
#include "client/rkbench_measure.h"
#include "client/rkbench_runs.h"
#include "client/transfers.h"
#include "files/batch.h"
#include "wire/batch.h"

namespace rk::bench {

namespace {

constexpr std::uint64_t kBatchFileSize = 4096;
constexpr std::uint64_t kCrowdFileSize = kMiB;
constexpr std::uint64_t kCrowdUploadSize = 4 * kMiB;
// Files of 4 KiB in the folder the storm lists, one of which it downloads.
constexpr int kStormFiles = 16;

// The server stops packing after the entry that crosses its limit; asking
// for more names than fit would only cost bytes.
constexpr std::size_t kBatchNamesPerRequest =
    files::kBatchStreamLimit / (kBatchFileSize + wire::kBatchEntryHead) + 1;

std::string numbered(const char* format, int index) {
    char name[32];
    std::snprintf(name, sizeof name, format, index);
    return name;
}

std::string batch_name(int index) { return numbered("f%05d.bin", index); }
std::string client_name(int index) { return numbered("c%04d.bin", index); }
std::string storm_name(int index) { return numbered("s%02d.bin", index); }

// Folders of the listed tree, the files shared out evenly between them.
constexpr int kTreeFolders = 1000;

int tree_folders(int files) { return std::min(kTreeFolders, files); }

// Empty files through bare syscalls: a hundred thousand of them through
// streams would cost more than the listing being measured.
bool build_tree(const std::filesystem::path& tree, int files) {
    const int folders = tree_folders(files);
    for (int folder = 0; folder < folders; ++folder) {
        const std::filesystem::path dir = tree / numbered("d%03d", folder);
        std::error_code ec;
        std::filesystem::create_directories(dir, ec);
        if (ec) return false;
        const int count = files / folders + (folder < files % folders ? 1 : 0);
        for (int i = 0; i < count; ++i) {
            const int fd =
                ::open((dir / numbered("f%05d", i)).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
            if (fd < 0) return false;
            ::close(fd);
        }
    }
    return true;
}

// Every name once, in requests of as many names as one batch carries; the
// names a batch left out go into the next request.
std::optional<double> batch_seconds(client::Connection& link, int files) {
    std::vector<int> pending(static_cast<std::size_t>(files));
    for (int i = 0; i < files; ++i) pending[std::size_t(i)] = i;
    const auto start = Clock::now();
    // Each request must take at least one file; more requests than files
    // mean a server that stopped giving.
    for (int request = 0; !pending.empty(); ++request) {
        if (request > files) return std::nullopt;
        const std::size_t take = std::min(kBatchNamesPerRequest, pending.size());
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

std::optional<double> download_seconds(client::Connection& link, const std::string& wire_path,
                                       const std::filesystem::path& local, std::uint64_t size) {
    const auto start = Clock::now();
    const client::Download got = client::download(link, wire_path, local);
    if (got.status != client::Transfer::done || got.size != size) return std::nullopt;
    return seconds_since(start);
}

std::optional<double> upload_seconds(client::Connection& link, const std::filesystem::path& local,
                                     const std::string& wire_path) {
    const auto start = Clock::now();
    if (client::upload(link, local, wire_path).status != client::Transfer::done) {
        return std::nullopt;
    }
    return seconds_since(start);
}

std::optional<double> list_seconds(client::Connection& link, const std::string& wire_path,
                                   std::size_t files) {
    const auto start = Clock::now();
    const client::Listing listing = client::list(link, wire_path);
    if (listing.status != client::Transfer::done || listing.files.size() != files) {
        return std::nullopt;
    }
    return seconds_since(start);
}

struct Crowd {
    double seconds = 0;
    int failures = 0;
};

// `clients` connections, each on its own thread since the client library
// blocks, log on first and start `work` together; the clock runs from the
// start signal to the last one done.
Crowd crowd(std::uint16_t port, int clients,
            const std::function<bool(client::Connection&, int client)>& work) {
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
            failed[std::size_t(i)] = link && work(*link, i) ? 0 : 1;
        });
    }
    ready.wait();
    const auto start = Clock::now();
    go.count_down();
    for (std::thread& thread : threads) thread.join();
    Crowd result;
    result.seconds = seconds_since(start);
    for (int f : failed) result.failures += f;
    return result;
}

struct Storm {
    Latencies connect, logon, list, download;
    int failures = 0;
};

// `clients` threads started together, each making `rounds` short visits:
// connect, log on, list the storm folder, download one of its files.
Storm storm(std::uint16_t port, int clients, int rounds, const std::filesystem::path& out) {
    std::latch go(1);
    std::vector<Storm> each(static_cast<std::size_t>(clients));
    std::vector<std::thread> threads;
    threads.reserve(std::size_t(clients));
    for (int i = 0; i < clients; ++i) {
        threads.emplace_back([&, i] {
            Storm& mine = each[std::size_t(i)];
            // A folder each: renames in one shared folder would queue on its lock.
            const std::filesystem::path folder = out / numbered("c%04d", i);
            std::error_code ec;
            std::filesystem::create_directories(folder, ec);
            const std::filesystem::path local = folder / "got.bin";
            const std::string file = "\\storm\\" + storm_name(i % kStormFiles);
            go.wait();
            for (int round = 0; round < rounds; ++round) {
                auto step = Clock::now();
                const auto lap = [&step](Latencies& into) {
                    into.add(seconds_since(step));
                    step = Clock::now();
                };
                auto link = client::Connection::connect("127.0.0.1", port, ec);
                if (!link || ec) break;
                lap(mine.connect);
                if (link->logon(kUser, kUser).status != client::Logon::accepted) break;
                lap(mine.logon);
                const client::Listing listing = client::list(*link, "\\storm");
                if (listing.status != client::Transfer::done ||
                    listing.files.size() != kStormFiles) {
                    break;
                }
                lap(mine.list);
                if (client::download(*link, file, local).status != client::Transfer::done) break;
                lap(mine.download);
            }
            mine.failures = rounds - int(mine.download.count());
        });
    }
    go.count_down();
    for (std::thread& thread : threads) thread.join();
    Storm all;
    for (const Storm& one : each) {
        all.connect.add(one.connect);
        all.logon.add(one.logon);
        all.list.add(one.list);
        all.download.add(one.download);
        all.failures += one.failures;
    }
    return all;
}

void print_storm_step(const char* step, const Latencies& real, const Latencies& floor) {
    const double p99 = real.percentile(0.99) * 1e3;
    const double floor_p99 = floor.percentile(0.99) * 1e3;
    std::printf(
        "storm %-8s p50 %.3f ms, p99 %.3f ms, ratio of p99 to floor: %.2f (floor p50 %.3f ms, "
        "p99 %.3f ms)\n",
        step, real.percentile(0.5) * 1e3, p99, p99 / floor_p99, floor.percentile(0.5) * 1e3,
        floor_p99);
}

// "download 1024 MiB: ..." with the floor beside it; false when a figure
// is missing.
bool print_rate(const char* what, std::uint64_t bytes, std::optional<double> real,
                std::optional<double> floor, std::optional<double> tcp, const char* baseline) {
    if (!real || !floor || !tcp) return false;
    const double rate = mb_per_second(bytes, *real);
    const double floor_rate = mb_per_second(bytes, *floor);
    const double tcp_rate = mb_per_second(bytes, *tcp);
    std::printf(
        "%s: %.1f MB/s, ratio to %s: %.3f (%s %.0f MB/s); floor: client alone reaches %.1f MB/s, "
        "ratio %.3f of %s\n",
        what, rate, baseline, rate / tcp_rate, baseline, tcp_rate, floor_rate,
        floor_rate / tcp_rate, baseline);
    std::fflush(stdout);
    return true;
}

// Says on stderr which step failed; false, for the step to return.
bool step_failed(const char* what) {
    fail(what);
    return false;
}

// The bytes the run serves and sends, kept for the baselines and the floor.
struct Served {
    std::vector<std::uint8_t> big;           // downloaded
    std::vector<std::uint8_t> up;            // uploaded
    std::vector<std::uint8_t> small;         // the batch files back to back
    std::vector<std::uint8_t> per_client;    // each crowd client downloads it
    std::vector<std::uint8_t> crowd_upload;  // each crowd client uploads it

    // Every storm file and every file of the floor's batches.
    std::span<const std::uint8_t> storm_file() const { return {small.data(), kBatchFileSize}; }
};

// The files of the user's folder, the sources of the uploads, and the
// tree; false (told on stderr) when one cannot be written.
bool write_served(const std::filesystem::path& root, const std::filesystem::path& scratch,
                  const FilesOptions& options, Served& served) {
    for (const char* folder : {"batch", "clients", "storm", "uploads"})
        std::filesystem::create_directories(root / folder);
    for (const char* folder : {"crowd", "storm"})
        std::filesystem::create_directories(scratch / folder);
    std::fprintf(stderr, "rkbench: writing the files to serve\n");
    served.big = noise(std::uint64_t(options.size_mib) * kMiB, 1);
    served.up = noise(std::uint64_t(options.upload_mib) * kMiB, 4);
    if (!write_file(root / "big.bin", served.big) || !write_file(scratch / "up.bin", served.up)) {
        return step_failed("cannot write the large files");
    }
    served.small = noise(std::uint64_t(options.files) * kBatchFileSize, 2);
    for (int i = 0; i < options.files; ++i) {
        const auto one =
            std::span(served.small).subspan(std::size_t(i) * kBatchFileSize, kBatchFileSize);
        if (!write_file(root / "batch" / batch_name(i), one))
            return step_failed("cannot write a small file");
    }
    served.per_client = noise(kCrowdFileSize, 3);
    for (int i = 0; i < options.clients; ++i) {
        if (!write_file(root / "clients" / client_name(i), served.per_client))
            return step_failed("cannot write a client's file");
    }
    served.crowd_upload = noise(kCrowdUploadSize, 6);
    if (!write_file(scratch / "up4.bin", served.crowd_upload))
        return step_failed("cannot write an upload");
    for (int i = 0; i < kStormFiles; ++i) {
        if (!write_file(root / "storm" / storm_name(i), served.storm_file()))
            return step_failed("cannot write a storm file");
    }
    return true;
}

// One files run: the real server and the floor, a logged-on link to each,
// and one function per figure, which prints its line or says on stderr
// why it could not.
struct FilesRun {
    const FilesOptions& options;
    std::uint16_t port = 0;
    std::filesystem::path root;
    std::filesystem::path scratch;
    Served served{};
    std::string find{};  // the command the listing is held against
    double tree_build_seconds = 0;
    std::unique_ptr<client::Connection> link{};
    std::unique_ptr<FloorServer> floor{};
    std::unique_ptr<client::Connection> floor_link{};

    // The listings, once each before anything is timed: the caches are
    // warm for the server and for find alike, and the floor serves the very
    // content the server gave.
    bool start_floor() {
        std::fprintf(stderr, "rkbench: preparing the floor\n");
        FloorServer::Content content;
        for (const char* folder : {"\\tree", "\\storm"}) {
            client::Listing listing = client::list(*link, folder);
            if (listing.status != client::Transfer::done) return step_failed("a listing failed");
            content.listings.emplace(folder, std::move(listing));
        }
        if (std::system(find.c_str()) != 0) return step_failed("find failed");
        content.files.emplace("\\big.bin", served.big);
        for (int i = 0; i < kStormFiles; ++i)
            content.files.emplace("\\storm\\" + storm_name(i), served.storm_file());
        content.batch_file.assign(served.storm_file().begin(), served.storm_file().end());
        content.batch_entries = kBatchNamesPerRequest;
        floor = std::make_unique<FloorServer>(std::move(content));
        floor_link = log_on(floor->port());
        return floor_link || step_failed("cannot log on to the floor");
    }

    // One large download against the same bytes over bare loopback.
    bool large_download() {
        const std::uint64_t size = served.big.size();
        const std::filesystem::path local = scratch / "big.bin";
        const auto tcp = best_of([&] { return plain_tcp_seconds(served.big); });
        const auto real =
            best_of([&] { return download_seconds(*link, "\\big.bin", local, size); });
        const auto alone =
            best_of([&] { return download_seconds(*floor_link, "\\big.bin", local, size); });
        std::error_code ignored;
        std::filesystem::remove(local, ignored);
        const std::string what = "download " + std::to_string(options.size_mib) + " MiB";
        return print_rate(what.c_str(), size, real, alone, tcp, "plain TCP") ||
               step_failed("the large download failed");
    }

    bool large_upload() {
        const std::uint64_t size = served.up.size();
        const auto tcp = best_of([&] { return plain_tcp_seconds(served.up); });
        const auto real = best_of([&]() -> std::optional<double> {
            const auto seconds = upload_seconds(*link, scratch / "up.bin", "\\up.bin");
            std::error_code ec;
            if (!seconds || std::filesystem::file_size(root / "up.bin", ec) != size || ec) {
                return std::nullopt;
            }
            return seconds;
        });
        const auto alone =
            best_of([&] { return upload_seconds(*floor_link, scratch / "up.bin", "\\up.bin"); });
        const std::string what = "upload " + std::to_string(options.upload_mib) + " MiB";
        return print_rate(what.c_str(), size, real, alone, tcp, "plain TCP") ||
               step_failed("the large upload failed");
    }

    // Many small files in as many batches as they take.
    bool batches() {
        const std::uint64_t bytes = served.small.size();
        const auto tcp = best_of([&] { return plain_tcp_seconds(served.small); });
        const auto real = best_of([&] { return batch_seconds(*link, options.files); });
        const auto alone = best_of([&] { return batch_seconds(*floor_link, options.files); });
        if (!tcp || !real || !alone) return step_failed("the batch download failed");
        std::printf(
            "batch %d x 4 KiB: %.0f files/s (%.1f MB/s), ratio to plain TCP: %.3f (plain TCP "
            "%.0f MB/s); floor: client alone reaches %.0f files/s, ratio %.3f of plain TCP\n",
            options.files, options.files / *real, mb_per_second(bytes, *real), *tcp / *real,
            mb_per_second(bytes, *tcp), options.files / *alone, *tcp / *alone);
        std::fflush(stdout);
        return true;
    }

    // A listing of the whole tree against find printing the same facts.
    bool listing() {
        const auto files = std::size_t(options.tree_files);
        const auto find_time = best_of([&]() -> std::optional<double> {
            const auto start = Clock::now();
            if (std::system(find.c_str()) != 0) return std::nullopt;
            return seconds_since(start);
        });
        const auto real = best_of([&] { return list_seconds(*link, "\\tree", files); });
        const auto alone = best_of([&] { return list_seconds(*floor_link, "\\tree", files); });
        if (!find_time || !real || !alone) return step_failed("the listing failed");
        std::printf(
            "list %d files in %d folders: %.3f s (%.0f files/s), time ratio to find: %.2f (find "
            "%.3f s; tree built in %.1f s); floor: client alone takes %.3f s, ratio %.2f of "
            "find\n",
            options.tree_files, tree_folders(options.tree_files), *real, options.tree_files / *real,
            *real / *find_time, *find_time, tree_build_seconds, *alone, *alone / *find_time);
        std::fflush(stdout);
        return true;
    }

    // A storm of short visits; one run each, since the clients are many.
    bool storms() {
        const int clients = options.storm_clients;
        const int rounds = options.storm_rounds;
        const Storm real = storm(port, clients, rounds, scratch / "storm");
        const Storm alone = storm(floor->port(), clients, rounds, scratch / "storm");
        std::printf(
            "storm: %d clients x %d rounds of connect, logon, list of %d files, 4 KiB download "
            "at once (%d rounds failed, floor %d)\n",
            clients, rounds, kStormFiles, real.failures, alone.failures);
        print_storm_step("connect:", real.connect, alone.connect);
        print_storm_step("logon:", real.logon, alone.logon);
        print_storm_step("list:", real.list, alone.list);
        print_storm_step("download:", real.download, alone.download);
        std::fflush(stdout);
        return (real.failures == 0 && alone.failures == 0) || step_failed("storm rounds failed");
    }

    // A crowd uploading at once against as many plain TCP connections.
    bool crowd_uploads() {
        const int clients = options.clients;
        const auto upload_to = [&](std::uint16_t to) {
            const Crowd done = crowd(to, clients, [&](client::Connection& c, int i) {
                return client::upload(c, scratch / "up4.bin", "\\uploads\\" + client_name(i))
                           .status == client::Transfer::done;
            });
            return done.failures == 0 ? std::optional<double>(done.seconds) : std::nullopt;
        };
        const auto tcp = best_of([&] { return plain_tcp_seconds(served.crowd_upload, clients); });
        const auto real = upload_to(port);
        const auto alone = upload_to(floor->port());
        const std::string what =
            std::to_string(clients) + " clients uploading 4 MiB at once (one run)";
        return print_rate(what.c_str(), kCrowdUploadSize * std::uint64_t(clients), real, alone, tcp,
                          "as many plain TCP connections") ||
               step_failed("a crowd upload failed");
    }

    // A crowd downloading at once.
    bool crowd_downloads() {
        const int clients = options.clients;
        const std::uint64_t bytes = kCrowdFileSize * std::uint64_t(clients);
        const auto tcp = best_of([&] { return plain_tcp_seconds(served.per_client, clients); });
        const Crowd real = crowd(port, clients, [&](client::Connection& c, int i) {
            const std::string name = client_name(i);
            return client::download(c, "\\clients\\" + name, scratch / "crowd" / name).status ==
                   client::Transfer::done;
        });
        if (!tcp || real.failures != 0) return step_failed("a crowd download failed");
        const double rate = mb_per_second(bytes, real.seconds);
        const double tcp_rate = mb_per_second(bytes, *tcp);
        std::printf(
            "%d clients downloading 1 MiB at once (one run): %.1f MB/s, ratio to as many plain "
            "TCP connections: %.3f (%.0f MB/s)\n",
            clients, rate, rate / tcp_rate, tcp_rate);
        return true;
    }
};

}  // namespace

int run_files(const std::string& server_path, const FilesOptions& options) {
    const auto limit = platform::raise_open_file_limit();
    const int most_clients = std::max(options.clients, options.storm_clients);
    // Each client holds a socket at both ends while the floor serves it.
    if (limit < 2 * std::uint64_t(most_clients) + 64) return fail("open-file limit too low");
    RunningServer server;
    if (!server.start(server_path)) return 1;
    {
        std::error_code ec;
        auto link = client::Connection::connect("127.0.0.1", server.port, ec);
        if (!link || link->create_account(kUser, kUser) != client::AccountResult::created) {
            return fail("could not create the bench account");
        }
    }
    // Our own files (the uploads' sources, the downloads' targets) live in
    // the home too, so that they go with it.
    FilesRun run{.options = options,
                 .port = server.port,
                 .root = server.root(),
                 .scratch = server.home / "bench-local"};
    if (!write_served(run.root, run.scratch, options, run.served)) return 1;
    std::fprintf(stderr, "rkbench: building a tree of %d files\n", options.tree_files);
    const auto tree_start = Clock::now();
    if (!build_tree(run.root / "tree", options.tree_files)) return fail("cannot build the tree");
    run.tree_build_seconds = seconds_since(tree_start);
    run.find = "find '" + (run.root / "tree").string() + "' -printf '%s %T@ %p\\n' > /dev/null";
    run.link = log_on(server.port);
    if (!run.link) return fail("cannot log on");
    if (!run.start_floor()) return 1;

    std::printf(
        "files (MB = 10^6 bytes; every time the best of %d runs unless said; floor: the same "
        "client against an ideal server in rkbench)\n",
        kRounds);
    bool ok = run.large_download();
    ok = run.large_upload() && ok;
    ok = run.batches() && ok;
    ok = run.listing() && ok;
    // The visits and crowds bring their own connections.
    run.link.reset();
    run.floor_link.reset();
    ok = run.storms() && ok;
    ok = run.crowd_uploads() && ok;
    ok = run.crowd_downloads() && ok;
    return ok ? 0 : 1;
}

}  // namespace rk::bench
