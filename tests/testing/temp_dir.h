// A fresh folder under /tmp for one test, removed with everything in it when
// the test ends. Sets up fixture trees with direct calls, not through Env, so
// a fault in Env cannot hide in the fixture.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

namespace rk::platform::testing {

class TempDir {
public:
    TempDir() {
        std::string pattern = "/tmp/rkserver-test-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string path(const std::string& relative) const { return path_ + "/" + relative; }

    void make_dir(const std::string& relative) const {
        std::filesystem::create_directories(path(relative));
    }
    void write_file(const std::string& relative, const std::string& content = {}) const {
        std::ofstream out(path(relative), std::ios::binary | std::ios::trunc);
        out << content;
        if (!out) throw std::runtime_error("cannot write " + path(relative));
    }
    // Read in one go: tests compare files of many megabytes.
    std::string read_file(const std::string& relative) const {
        std::ifstream in(path(relative), std::ios::binary | std::ios::ate);
        if (!in) return {};
        std::string content(std::size_t(in.tellg()), '\0');
        in.seekg(0);
        in.read(content.data(), std::streamsize(content.size()));
        content.resize(std::size_t(in.gcount()));
        return content;
    }
    void symlink(const std::string& target, const std::string& relative) const {
        if (::symlink(target.c_str(), path(relative).c_str()) != 0)
            throw std::runtime_error("cannot link " + path(relative));
    }

private:
    std::string path_;
};

}  // namespace rk::platform::testing
