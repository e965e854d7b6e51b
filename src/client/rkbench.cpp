// rkbench: load generator. Starts its own rkserver in a temporary home and
// reports every figure against a baseline measured in the same run.
//
//   rkbench connections [--clients N] [--accounts N] [--in-flight N]
//                   N connections that log on and stay: logons per second
//                   against bare TCP connects, and the server's resident
//                   memory per connection; then anonymous account creation
//                   per second, and another client's small-listing p99
//                   meanwhile against the same p99 measured quiet.
//   rkbench files [--size-mib N] [--upload-mib N] [--files N] [--tree-files N]
//                 [--clients N] [--storm-clients N] [--storm-rounds N]
//                   a large download and upload and many small files in
//                   batches against plain TCP carrying the same bytes, a large
//                   listing against `find`, a storm of short connections, and
//                   crowds of clients uploading and downloading at once; each
//                   beside the floor the same client code reaches against an
//                   ideal server inside rkbench.
#include <CLI/CLI.hpp>
#include <filesystem>

#include "client/rkbench_runs.h"
#include "platform/process.h"

int main(int argc, char** argv) {
    using namespace rk;
    CLI::App app{"rkbench: load generator for rkserver"};
    app.require_subcommand(1);
    std::string server =
        (std::filesystem::path(platform::executable_folder()) / "rkserver").string();
    app.add_option("--server", server, "the rkserver program to start");

    bench::ConnectionsOptions links;
    auto* connections = app.add_subcommand(
        "connections", "connections that log on and stay; anonymous account creation");
    connections->add_option("--clients", links.clients, "number of connections")
        ->check(CLI::Range(1, 1000000));
    connections->add_option("--accounts", links.accounts, "accounts created")
        ->check(CLI::Range(1, 1000000));
    connections->add_option("--in-flight", links.in_flight, "account creations waiting at once")
        ->check(CLI::Range(1, 1000));

    bench::FilesOptions files;
    auto* transfers = app.add_subcommand(
        "files", "downloads, uploads, batches, listings, a storm of clients, crowds");
    transfers->add_option("--size-mib", files.size_mib, "size of the downloaded file")
        ->check(CLI::Range(1, 2047));
    transfers->add_option("--upload-mib", files.upload_mib, "size of the uploaded file")
        ->check(CLI::Range(1, 2047));
    transfers->add_option("--files", files.files, "small files fetched in batches")
        ->check(CLI::Range(1, 1000000));
    transfers->add_option("--tree-files", files.tree_files, "files in the listed tree")
        ->check(CLI::Range(1, 1000000));
    transfers->add_option("--clients", files.clients, "clients uploading and downloading at once")
        ->check(CLI::Range(1, 1000));
    transfers->add_option("--storm-clients", files.storm_clients, "clients of the storm")
        ->check(CLI::Range(1, 1000));
    transfers->add_option("--storm-rounds", files.storm_rounds, "rounds each storm client makes")
        ->check(CLI::Range(1, 1000));
    CLI11_PARSE(app, argc, argv);
    if (*transfers) return bench::run_files(server, files);
    return bench::run_connections(server, links);
}
