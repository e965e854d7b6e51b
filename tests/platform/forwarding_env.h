// A base for Env doubles that watch or hold a few calls of the host's Env:
// every call goes to the host until a double overrides it, and a Gate that
// such an override can hold a thread at, so that a test can look at work
// while it is under way. Safe for concurrent use.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/env.h"

namespace rk::platform::testing {

class ForwardingEnv : public Env {
public:
    std::unique_ptr<File> open(const std::string& path, OpenMode mode,
                               std::error_code& ec) override {
        return base_.open(path, mode, ec);
    }
    FileInfo stat(const std::string& path, std::error_code& ec) override {
        return base_.stat(path, ec);
    }
    std::vector<DirEntry> list(const std::string& path, std::error_code& ec) override {
        return base_.list(path, ec);
    }
    std::string real_path(const std::string& path, std::error_code& ec) override {
        return base_.real_path(path, ec);
    }
    std::error_code make_dir(const std::string& path) override { return base_.make_dir(path); }
    std::error_code remove_file(const std::string& path) override {
        return base_.remove_file(path);
    }
    std::error_code remove_dir(const std::string& path) override { return base_.remove_dir(path); }
    std::error_code rename(const std::string& from, const std::string& to) override {
        return base_.rename(from, to);
    }
    std::error_code set_mtime(const std::string& path, std::time_t mtime) override {
        return base_.set_mtime(path, mtime);
    }
    std::uint32_t attributes(const std::string& path, std::error_code& ec) override {
        return base_.attributes(path, ec);
    }
    std::error_code set_attributes(const std::string& path, std::uint32_t bits) override {
        return base_.set_attributes(path, bits);
    }
    std::unique_ptr<FileLock> lock(const std::string& path, std::error_code& ec) override {
        return base_.lock(path, ec);
    }
    std::time_t now() override { return base_.now(); }
    std::optional<std::string> get_env(const std::string& name) override {
        return base_.get_env(name);
    }

private:
    Env& base_ = Env::host();
};

// Holds the first thread that passes it after arm() until release(). A hold
// that is never released ends after a few seconds, so no run hangs on it.
class Gate {
public:
    void arm() {
        std::lock_guard lock(mutex_);
        armed_ = true;
    }
    bool holding() const {
        std::lock_guard lock(mutex_);
        return holding_;
    }
    std::thread::id held_thread() const {
        std::lock_guard lock(mutex_);
        return held_thread_;
    }
    void release() {
        std::lock_guard lock(mutex_);
        released_ = true;
        changed_.notify_all();
    }

    void pass() {
        std::unique_lock lock(mutex_);
        if (!armed_) return;
        armed_ = false;
        holding_ = true;
        held_thread_ = std::this_thread::get_id();
        changed_.wait_for(lock, std::chrono::seconds(10), [this] { return released_; });
        holding_ = false;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool armed_ = false;
    bool holding_ = false;
    bool released_ = false;
    std::thread::id held_thread_;
};

}  // namespace rk::platform::testing
