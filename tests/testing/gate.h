// A point where a test double can hold a thread, so that a test can look at
// work while it is under way. Safe for concurrent use.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace rk::platform::testing {

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
