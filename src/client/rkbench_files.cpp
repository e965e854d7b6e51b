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

}  // namespace

int run_files(const std::string& server_path, const FilesOptions& options) {
    const auto limit = platform::raise_open_file_limit();
    const int most_clients = std::max(options.clients, options.storm_clients);
    // Each client holds a socket at both ends while the floor serves it.
    if (limit < 2 * std::uint64_t(most_clients) + 64) return fail("open-file limit too low");
    RunningServer server;
    if (!server.start(server_path)) return 1;
    // Our own files (the uploads' sources, the downloads' targets) live in
    // the home too, so that they go with it.
    const std::filesystem::path scratch = server.home / "bench-local";
    const std::filesystem::path root = server.root();
    {
        std::error_code ec;
        auto link = client::Connection::connect("127.0.0.1", server.port, ec);
        if (!link || link->create_account(kUser, kUser) != client::AccountResult::created) {
            return fail("could not create the bench account");
        }
    }
    for (const char* folder : {"batch", "clients", "storm", "uploads"})
        std::filesystem::create_directories(root / folder);
    for (const char* folder : {"crowd", "storm"})
        std::filesystem::create_directories(scratch / folder);

    const std::uint64_t big_size = std::uint64_t(options.size_mib) * kMiB;
    const std::uint64_t up_size = std::uint64_t(options.upload_mib) * kMiB;
    std::fprintf(stderr, "rkbench: writing the files to serve\n");
    const std::vector<std::uint8_t> big = noise(big_size, 1);
    const std::vector<std::uint8_t> up = noise(up_size, 4);
    if (!write_file(root / "big.bin", big) || !write_file(scratch / "up.bin", up)) {
        return fail("cannot write the large files");
    }
    const std::uint64_t batch_bytes = std::uint64_t(options.files) * kBatchFileSize;
    const std::vector<std::uint8_t> small = noise(batch_bytes, 2);
    for (int i = 0; i < options.files; ++i) {
        const std::span<const std::uint8_t> one(small.data() + std::size_t(i) * kBatchFileSize,
                                                kBatchFileSize);
        if (!write_file(root / "batch" / batch_name(i), one))
            return fail("cannot write a small file");
    }
    const std::vector<std::uint8_t> per_client = noise(kCrowdFileSize, 3);
    for (int i = 0; i < options.clients; ++i) {
        if (!write_file(root / "clients" / client_name(i), per_client)) {
            return fail("cannot write a client's file");
        }
    }
    const std::vector<std::uint8_t> crowd_upload = noise(kCrowdUploadSize, 6);
    if (!write_file(scratch / "up4.bin", crowd_upload)) return fail("cannot write an upload");
    const std::span<const std::uint8_t> storm_file(small.data(), kBatchFileSize);
    for (int i = 0; i < kStormFiles; ++i) {
        if (!write_file(root / "storm" / storm_name(i), storm_file))
            return fail("cannot write a storm file");
    }
    std::fprintf(stderr, "rkbench: building a tree of %d files\n", options.tree_files);
    const auto tree_start = Clock::now();
    if (!build_tree(root / "tree", options.tree_files)) return fail("cannot build the tree");
    const double tree_build = seconds_since(tree_start);

    auto link = log_on(server.port);
    if (!link) return fail("cannot log on");

    // The listings, once each before anything is timed: the caches are
    // warm for the server and for find alike, and the floor serves the very
    // content the server gave.
    std::fprintf(stderr, "rkbench: preparing the floor\n");
    FloorServer::Content content;
    for (const char* folder : {"\\tree", "\\storm"}) {
        client::Listing listing = client::list(*link, folder);
        if (listing.status != client::Transfer::done) return fail("a listing failed");
        content.listings.emplace(folder, std::move(listing));
    }
    const std::string find =
        "find '" + (root / "tree").string() + "' -printf '%s %T@ %p\\n' > /dev/null";
    if (std::system(find.c_str()) != 0) return fail("find failed");
    content.files.emplace("\\big.bin", big);
    for (int i = 0; i < kStormFiles; ++i) {
        content.files.emplace("\\storm\\" + storm_name(i), storm_file);
    }
    content.batch_file.assign(storm_file.begin(), storm_file.end());
    content.batch_entries = kBatchNamesPerRequest;
    const FloorServer floor(std::move(content));
    auto floor_link = log_on(floor.port());
    if (!floor_link) return fail("cannot log on to the floor");

    std::printf(
        "files (MB = 10^6 bytes; every time the best of %d runs unless said; floor: the same "
        "client against an ideal server in rkbench)\n",
        kRounds);

    // 1. One large download against the same bytes over bare loopback.
    const auto big_tcp = best_of([&] { return plain_tcp_seconds(big); });
    const auto big_down = best_of(
        [&] { return download_seconds(*link, "\\big.bin", scratch / "big.bin", big_size); });
    const auto big_floor = best_of(
        [&] { return download_seconds(*floor_link, "\\big.bin", scratch / "big.bin", big_size); });
    const std::string down_what = "download " + std::to_string(options.size_mib) + " MiB";
    if (!print_rate(down_what.c_str(), big_size, big_down, big_floor, big_tcp, "plain TCP")) {
        return fail("the large download failed");
    }
    std::error_code ignored;
    std::filesystem::remove(scratch / "big.bin", ignored);

    // 2. One large upload.
    const auto up_tcp = best_of([&] { return plain_tcp_seconds(up); });
    const auto big_up = best_of([&]() -> std::optional<double> {
        const auto seconds = upload_seconds(*link, scratch / "up.bin", "\\up.bin");
        std::error_code ec;
        if (!seconds || std::filesystem::file_size(root / "up.bin", ec) != up_size || ec) {
            return std::nullopt;
        }
        return seconds;
    });
    const auto up_floor =
        best_of([&] { return upload_seconds(*floor_link, scratch / "up.bin", "\\up.bin"); });
    const std::string up_what = "upload " + std::to_string(options.upload_mib) + " MiB";
    if (!print_rate(up_what.c_str(), up_size, big_up, up_floor, up_tcp, "plain TCP")) {
        return fail("the large upload failed");
    }

    // 3. Many small files in as many batches as they take.
    const auto small_tcp = best_of([&] { return plain_tcp_seconds(small); });
    const auto small_batch = best_of([&] { return batch_seconds(*link, options.files); });
    const auto small_floor = best_of([&] { return batch_seconds(*floor_link, options.files); });
    if (!small_tcp || !small_batch || !small_floor) return fail("the batch download failed");
    std::printf(
        "batch %d x 4 KiB: %.0f files/s (%.1f MB/s), ratio to plain TCP: %.3f (plain TCP %.0f "
        "MB/s); floor: client alone reaches %.0f files/s, ratio %.3f of plain TCP\n",
        options.files, options.files / *small_batch, mb_per_second(batch_bytes, *small_batch),
        *small_tcp / *small_batch, mb_per_second(batch_bytes, *small_tcp),
        options.files / *small_floor, *small_tcp / *small_floor);
    std::fflush(stdout);

    // 4. A listing of the whole tree against find printing the same facts.
    const auto tree_files = std::size_t(options.tree_files);
    const auto find_time = best_of([&]() -> std::optional<double> {
        const auto start = Clock::now();
        if (std::system(find.c_str()) != 0) return std::nullopt;
        return seconds_since(start);
    });
    const auto list_time = best_of([&] { return list_seconds(*link, "\\tree", tree_files); });
    const auto list_floor =
        best_of([&] { return list_seconds(*floor_link, "\\tree", tree_files); });
    if (!find_time || !list_time || !list_floor) return fail("the listing failed");
    std::printf(
        "list %d files in %d folders: %.3f s (%.0f files/s), time ratio to find: %.2f (find "
        "%.3f s; tree built in %.1f s); floor: client alone takes %.3f s, ratio %.2f of find\n",
        options.tree_files, tree_folders(options.tree_files), *list_time,
        options.tree_files / *list_time, *list_time / *find_time, *find_time, tree_build,
        *list_floor, *list_floor / *find_time);
    std::fflush(stdout);

    // 5. A storm of short visits; one run each, since the clients are many.
    link.reset();
    floor_link.reset();
    const Storm real_storm =
        storm(server.port, options.storm_clients, options.storm_rounds, scratch / "storm");
    const Storm floor_storm =
        storm(floor.port(), options.storm_clients, options.storm_rounds, scratch / "storm");
    std::printf(
        "storm: %d clients x %d rounds of connect, logon, list of %d files, 4 KiB download at "
        "once (%d rounds failed, floor %d)\n",
        options.storm_clients, options.storm_rounds, kStormFiles, real_storm.failures,
        floor_storm.failures);
    print_storm_step("connect:", real_storm.connect, floor_storm.connect);
    print_storm_step("logon:", real_storm.logon, floor_storm.logon);
    print_storm_step("list:", real_storm.list, floor_storm.list);
    print_storm_step("download:", real_storm.download, floor_storm.download);
    std::fflush(stdout);

    // 6. A crowd uploading at once against as many plain TCP connections.
    const int clients = options.clients;
    const auto crowd_upload_to = [&](std::uint16_t port) {
        return crowd(port, clients, [&](client::Connection& c, int i) {
            return client::upload(c, scratch / "up4.bin", "\\uploads\\" + client_name(i)).status ==
                   client::Transfer::done;
        });
    };
    const auto up_crowd_tcp = best_of([&] { return plain_tcp_seconds(crowd_upload, clients); });
    const Crowd up_crowd = crowd_upload_to(server.port);
    const Crowd up_crowd_floor = crowd_upload_to(floor.port());
    const std::string up_crowd_what =
        std::to_string(clients) + " clients uploading 4 MiB at once (one run)";
    const auto whole = [](const Crowd& c) {
        return c.failures == 0 ? std::optional<double>(c.seconds) : std::nullopt;
    };
    if (!print_rate(up_crowd_what.c_str(), kCrowdUploadSize * std::uint64_t(clients),
                    whole(up_crowd), whole(up_crowd_floor), up_crowd_tcp,
                    "as many plain TCP connections")) {
        return fail("a crowd upload failed");
    }

    // 7. A crowd downloading at once.
    const auto down_crowd_tcp = best_of([&] { return plain_tcp_seconds(per_client, clients); });
    const Crowd down_crowd = crowd(server.port, clients, [&](client::Connection& c, int i) {
        const std::string name = client_name(i);
        return client::download(c, "\\clients\\" + name, scratch / "crowd" / name).status ==
               client::Transfer::done;
    });
    if (!down_crowd_tcp || down_crowd.failures != 0) return fail("a crowd download failed");
    const double crowd_rate =
        mb_per_second(kCrowdFileSize * std::uint64_t(clients), down_crowd.seconds);
    const double crowd_tcp_rate =
        mb_per_second(kCrowdFileSize * std::uint64_t(clients), *down_crowd_tcp);
    std::printf(
        "%d clients downloading 1 MiB at once (one run): %.1f MB/s, ratio to as many plain TCP "
        "connections: %.3f (%.0f MB/s)\n",
        clients, crowd_rate, crowd_rate / crowd_tcp_rate, crowd_tcp_rate);
    return real_storm.failures == 0 && floor_storm.failures == 0 ? 0 : 1;
}

}  // namespace rk::bench
