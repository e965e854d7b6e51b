// Waits on the server clock, driven tick by tick by the manual source.
#include "core/server_clock.h"

#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <memory>
#include <optional>

#include "core/signal.h"
#include "support/tick_source.h"

namespace rk::core {
namespace {

class ServerClockTest : public ::testing::Test {
protected:
    ServerClockTest() {
        ticks_.start([this](std::uint64_t now) { clock_.advance(now); });
    }

    // Starts a coroutine that waits until `at` (or a notify of `wake`) and
    // notes the clock when it goes on.
    void wait_until(std::uint64_t at) {
        asio::co_spawn(
            io_,
            [this, at]() -> asio::awaitable<void> {
                co_await clock_.until(at, wake_);
                woke_at_ = clock_.now();
            },
            asio::detached);
        io_.poll();
    }

    // One tick, then whatever it woke runs.
    void tick() {
        ticks_.advance(support::kTickMs);
        io_.poll();
    }

    asio::io_context io_;
    // Keeps poll() working once the loop has run out of work.
    asio::executor_work_guard<asio::io_context::executor_type> work_ = asio::make_work_guard(io_);
    support::ManualTickSource ticks_;
    ServerClock clock_{ticks_};
    Signal wake_{io_};
    std::optional<std::uint64_t> woke_at_;
};

TEST_F(ServerClockTest, WaitEndsOnTheTickThatReachesItsTime) {
    struct Case {
        std::uint64_t at;
        std::uint64_t woken_by;  // the first tick at or after `at`
    };
    for (const Case c : {Case{100, 100}, Case{101, 120}, Case{20, 20}}) {
        woke_at_.reset();
        const std::uint64_t start = clock_.now();
        wait_until(start + c.at);
        while (!woke_at_ && clock_.now() < start + 1000) {
            EXPECT_LT(clock_.now(), start + c.at) << "still waiting at or after its time";
            tick();
        }
        ASSERT_TRUE(woke_at_) << "waiting for " << c.at;
        EXPECT_EQ(*woke_at_ - start, c.woken_by) << "waiting for " << c.at;
    }
}

TEST_F(ServerClockTest, TimeThatHasComeReturnsAtOnce) {
    tick();
    tick();
    wait_until(clock_.now());
    EXPECT_EQ(woke_at_, clock_.now()) << "no tick needed";
}

TEST_F(ServerClockTest, NotifyEndsTheWaitEarly) {
    wait_until(10000);
    tick();
    EXPECT_FALSE(woke_at_);
    wake_.notify();
    io_.poll();
    EXPECT_EQ(woke_at_, 20u);
}

TEST_F(ServerClockTest, WaitMayOutliveItsClock) {
    // As at exit: the engine and its clock go first, then the loop destroys
    // the coroutines still waiting. Under the sanitizers this shows a wait
    // that touches its clock once the clock is gone.
    asio::io_context other;
    auto clock = std::make_unique<ServerClock>(ticks_);
    Signal wake(other);
    asio::co_spawn(
        other, [&]() -> asio::awaitable<void> { co_await clock->until(60, wake); }, asio::detached);
    other.poll();
    clock.reset();
}

}  // namespace
}  // namespace rk::core
