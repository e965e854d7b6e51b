// A fresh folder under $TMPDIR (or /tmp) for one test, removed with all it
// holds when the test ends. Built on platform::Env like the code under test.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/env.h"

namespace rk::support::testing {

class TempFolder {
public:
    explicit TempFolder(platform::Env& env = platform::Env::host());
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::string& path() const { return path_; }
    // The host path of `relative` inside this folder.
    std::string at(std::string_view relative) const;

    // Fixture builders; each fails the current test when the Env refuses.
    void make_dir(std::string_view relative) const;
    void write_file(std::string_view relative, std::string_view content) const;
    // A sparse file of `size` bytes: nothing is written.
    void make_sparse_file(std::string_view relative, std::uint64_t size) const;
    std::string read_file(std::string_view relative) const;

private:
    platform::Env& env_;
    std::string path_;
};

// Removes a tree without recursion (a test tree may be thousands deep).
void remove_tree(platform::Env& env, const std::string& root);

}  // namespace rk::support::testing
