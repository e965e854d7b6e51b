#include "support/tick_source.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <vector>

namespace rk::support {
namespace {

using Ticks = std::vector<std::uint64_t>;

TEST(ManualTickSource, AdvanceRunsWholeTicksAndKeepsTheRemainder) {
    struct Case {
        const char* what;
        std::vector<std::uint64_t> advances;
        Ticks expected;
    };
    const Case cases[] = {
        {"nothing", {0}, {}},
        {"less than a tick", {19}, {}},
        {"one tick", {20}, {20}},
        {"five ticks at once", {100}, {20, 40, 60, 80, 100}},
        {"remainder carried", {30, 10}, {20, 40}},
        {"many small steps", {7, 7, 7, 7, 7, 7}, {20, 40}},
        {"remainder plus a long step", {15, 45}, {20, 40, 60}},
    };
    for (const Case& c : cases) {
        ManualTickSource source;
        Ticks seen;
        source.start([&](std::uint64_t now) { seen.push_back(now); });
        for (const std::uint64_t ms : c.advances) source.advance(ms);
        EXPECT_EQ(seen, c.expected) << c.what;
        EXPECT_EQ(source.now(), c.expected.empty() ? 0 : c.expected.back()) << c.what;
    }
}

TEST(ManualTickSource, ClockStartsAtZeroAndTicksOnlyWhileStarted) {
    ManualTickSource source;
    EXPECT_EQ(source.now(), 0u);
    source.advance(100);
    EXPECT_EQ(source.now(), 0u);

    Ticks seen;
    source.start([&](std::uint64_t now) { seen.push_back(now); });
    source.advance(50);
    source.stop();
    source.advance(100);
    EXPECT_EQ(seen, (Ticks{20, 40}));
    EXPECT_EQ(source.now(), 40u);

    // A restart neither replays the time spent stopped nor the old remainder.
    source.start([&](std::uint64_t now) { seen.push_back(now); });
    source.advance(20);
    EXPECT_EQ(seen, (Ticks{20, 40, 60}));
}

TEST(ManualTickSource, StopFromATickEndsTheAdvance) {
    ManualTickSource source;
    Ticks seen;
    source.start([&](std::uint64_t now) {
        seen.push_back(now);
        if (now == 60) source.stop();
    });
    source.advance(200);
    EXPECT_EQ(seen, (Ticks{20, 40, 60}));
}

TEST(ManualTickSource, SecondStartKeepsTheFirstCallback) {
    ManualTickSource source;
    int first = 0;
    int second = 0;
    source.start([&](std::uint64_t) { ++first; });
    source.start([&](std::uint64_t) { ++second; });
    source.advance(40);
    EXPECT_EQ(first, 2);
    EXPECT_EQ(second, 0);
}

// The steady source runs on a real loop; the loop ends when the source is
// stopped and nothing else is pending, so each test finishes by itself.
TEST(SteadyTickSource, TicksAdvanceTheClockByTwentyUntilStopped) {
    asio::io_context io;
    SteadyTickSource source(io);
    Ticks seen;
    source.start([&](std::uint64_t now) {
        seen.push_back(now);
        if (seen.size() == 5) source.stop();
    });
    const auto started = std::chrono::steady_clock::now();
    io.run();
    EXPECT_EQ(seen, (Ticks{20, 40, 60, 80, 100}));
    EXPECT_EQ(source.now(), 100u);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
}

TEST(SteadyTickSource, SecondStartArmsNoSecondTimer) {
    asio::io_context io;
    SteadyTickSource source(io);
    Ticks seen;
    auto on_tick = [&](std::uint64_t now) {
        seen.push_back(now);
        if (seen.size() == 3) source.stop();
    };
    source.start(on_tick);
    source.start(on_tick);
    io.run();
    // Two timers would show as duplicate or doubled clock values.
    EXPECT_EQ(seen, (Ticks{20, 40, 60}));
}

TEST(SteadyTickSource, StopBeforeTheFirstTickLeavesNothingToRun) {
    asio::io_context io;
    SteadyTickSource source(io);
    int ticks = 0;
    source.start([&](std::uint64_t) { ++ticks; });
    source.stop();
    io.run();
    EXPECT_EQ(ticks, 0);
    EXPECT_EQ(source.now(), 0u);
}

TEST(SteadyTickSource, RestartFromATickContinuesTheClock) {
    asio::io_context io;
    SteadyTickSource source(io);
    Ticks seen;
    std::function<void(std::uint64_t)> on_tick = [&](std::uint64_t now) {
        seen.push_back(now);
        if (seen.size() == 2) {
            source.stop();
            source.start(on_tick);
        } else if (seen.size() == 4) {
            source.stop();
        }
    };
    source.start(on_tick);
    io.run();
    EXPECT_EQ(seen, (Ticks{20, 40, 60, 80}));
}

TEST(SteadyTickSource, LateTicksAreMergedNotQueued) {
    using namespace std::chrono_literals;
    const std::chrono::steady_clock::time_point t0{1000ms};
    struct Case {
        const char* what;
        std::chrono::milliseconds woke_at;  // after the deadline t0
        std::chrono::milliseconds next;     // expected next deadline after t0
    };
    const Case cases[] = {
        {"on time", 0ms, 20ms},
        {"a little late keeps the rhythm", 5ms, 20ms},
        {"just before the next deadline", 19ms, 20ms},
        {"exactly one period late", 20ms, 40ms},
        {"several periods late", 110ms, 130ms},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(next_tick_deadline(t0, t0 + c.woke_at) - t0, c.next) << c.what;
    }
}

TEST(SteadyTickSource, DestroyedWithAWaitPendingRunsNoTick) {
    asio::io_context io;
    int ticks = 0;
    {
        SteadyTickSource source(io);
        source.start([&](std::uint64_t) { ++ticks; });
    }
    io.run();
    EXPECT_EQ(ticks, 0);
}

}  // namespace
}  // namespace rk::support
