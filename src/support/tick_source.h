// The server's clock: a millisecond counter that moves kTickMs forward on
// every tick, measuring every engine time-out. SteadyTickSource drives it from
// a timer on the io thread; ManualTickSource lets tests advance it at will.
// start/stop/advance run on the io thread (or while its loop is idle); now()
// may be read from any thread.
#pragma once

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

namespace rk::support {

inline constexpr std::uint64_t kTickMs = 20;

class TickSource {
public:
    using OnTick = std::function<void(std::uint64_t now_ms)>;

    virtual ~TickSource() = default;
    TickSource() = default;
    TickSource(const TickSource&) = delete;
    TickSource& operator=(const TickSource&) = delete;

    // Calls on_tick with the new clock value after every tick until stop().
    // A second start while running changes nothing.
    virtual void start(OnTick on_tick) = 0;
    // No tick runs after stop() returns; the clock keeps its value.
    virtual void stop() = 0;
    // The clock in milliseconds; 0 before the first tick.
    std::uint64_t now() const { return clock_ms_.load(std::memory_order_relaxed); }

protected:
    std::uint64_t advance_clock() {
        return clock_ms_.fetch_add(kTickMs, std::memory_order_relaxed) + kTickMs;
    }

private:
    std::atomic<std::uint64_t> clock_ms_{0};
};

// Ticks every kTickMs on the io_context's thread. A tick that comes late
// (the loop was busy) is one tick: missed ticks are dropped, never queued.
class SteadyTickSource final : public TickSource {
public:
    explicit SteadyTickSource(asio::io_context& io);
    ~SteadyTickSource() override;

    void start(OnTick on_tick) override;
    void stop() override;

private:
    void arm();
    void on_timer(std::uint64_t generation);

    asio::steady_timer timer_;
    OnTick on_tick_;
    std::chrono::steady_clock::time_point next_deadline_;
    bool running_ = false;
    // Tells a completion of an earlier start/stop cycle from the current one.
    std::uint64_t generation_ = 0;
    // Completions still queued in the io_context when this source is gone
    // find it expired and touch nothing.
    std::shared_ptr<char> alive_ = std::make_shared<char>();
};

// The deadline that follows `deadline` once the timer woke at `now`: one
// period later, or one period from `now` when the loop was so busy that the
// next deadline has already passed.
std::chrono::steady_clock::time_point next_tick_deadline(
    std::chrono::steady_clock::time_point deadline, std::chrono::steady_clock::time_point now);

// Ticks only when told: advance() runs the ticks that fit in the given time
// synchronously on the caller's thread and keeps the remainder for later.
// Like the steady source it does not tick while stopped.
class ManualTickSource final : public TickSource {
public:
    void start(OnTick on_tick) override;
    void stop() override;
    void advance(std::uint64_t ms);

private:
    OnTick on_tick_;
    bool running_ = false;
    std::uint64_t pending_ms_ = 0;
};

}  // namespace rk::support
