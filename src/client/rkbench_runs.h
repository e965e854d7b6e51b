// The two runs of rkbench, each starting its own server; they return the
// program's exit code.
#pragma once

#include <string>

namespace rk::bench {

struct ConnectionsOptions {
    int clients = 1000;
    int accounts = 1000;  // anonymous creations, each on a fresh connection
    int in_flight = 16;   // creations waiting for their answer at once
};

// Logons per second and memory per idle logged-on connection, then account
// creation and its effect on another client's small requests.
int run_connections(const std::string& server_path, const ConnectionsOptions& options);

struct FilesOptions {
    int size_mib = 1024;
    int upload_mib = 256;
    int files = 10000;
    int tree_files = 100000;
    int clients = 100;
    int storm_clients = 200;
    int storm_rounds = 5;
};

// Transfers against plain TCP and `find`, each beside the floor the client
// reaches against FloorServer; a storm of short connections; crowds.
int run_files(const std::string& server_path, const FilesOptions& options);

}  // namespace rk::bench
