// The engine's millisecond clock, advanced 20 ms per tick by the tick source
// (steady in the program, manual in tests), and the waits measured on it:
// the time-outs and resends of links, sessions and transfers are each a
// `co_await until(...)` at the place that waits. Used from the io thread only; now() may be read
// from any thread.
#pragma once

#include <asio/awaitable.hpp>
#include <cstdint>
#include <map>
#include <memory>

#include "core/signal.h"
#include "support/tick_source.h"

namespace rk::core {

class ServerClock {
public:
    explicit ServerClock(support::TickSource& ticks) : ticks_(ticks) {}
    ServerClock(const ServerClock&) = delete;
    ServerClock& operator=(const ServerClock&) = delete;

    std::uint64_t now() const { return ticks_.now(); }

    // Suspends until the clock reaches `at` or `wake` is notified, whichever
    // comes first; returns at once when `at` has already come. The caller
    // then looks again at what it waits for.
    asio::awaitable<void> until(std::uint64_t at, Signal& wake);

    // Wakes the waits whose time has come; run by every tick.
    void advance(std::uint64_t now);

private:
    using Waits = std::multimap<std::uint64_t, Signal*>;
    // One wait in the table, for as long as it lives.
    class Entry {
    public:
        Entry(std::shared_ptr<Waits> waits, std::uint64_t at, Signal& wake);
        ~Entry();
        Entry(const Entry&) = delete;
        Entry& operator=(const Entry&) = delete;

    private:
        std::shared_ptr<Waits> waits_;
        Waits::iterator at_;
    };

    support::TickSource& ticks_;
    // Shared with the waits, whose coroutines may be destroyed after the
    // clock when the io_context goes.
    std::shared_ptr<Waits> waits_ = std::make_shared<Waits>();
};

}  // namespace rk::core
