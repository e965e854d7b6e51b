#include "support/tick_source.h"

#include <system_error>
#include <utility>

namespace rk::support {

namespace {
constexpr std::chrono::milliseconds kTickPeriod{kTickMs};
}  // namespace

std::chrono::steady_clock::time_point next_tick_deadline(
    std::chrono::steady_clock::time_point deadline, std::chrono::steady_clock::time_point now) {
    const auto next = deadline + kTickPeriod;
    return next > now ? next : now + kTickPeriod;
}

SteadyTickSource::SteadyTickSource(asio::io_context& io) : timer_(io) {}

SteadyTickSource::~SteadyTickSource() {
    // Cancelling a timer only fails when the reactor is broken; nothing here
    // could repair it, and a destructor must not throw.
    try {
        stop();
    } catch (const std::system_error&) {
    }
}

void SteadyTickSource::start(OnTick on_tick) {
    if (running_) return;
    running_ = true;
    ++generation_;
    on_tick_ = std::move(on_tick);
    next_deadline_ = std::chrono::steady_clock::now() + kTickPeriod;
    arm();
}

void SteadyTickSource::stop() {
    if (!running_) return;
    running_ = false;
    ++generation_;
    timer_.cancel();
}

void SteadyTickSource::arm() {
    timer_.expires_at(next_deadline_);
    timer_.async_wait([this, alive = std::weak_ptr<char>(alive_),
                       generation = generation_](const std::error_code& ec) {
        if (ec || alive.expired()) return;
        on_timer(generation);
    });
}

void SteadyTickSource::on_timer(std::uint64_t generation) {
    // A wait that completed just before stop() (or stop() and start()) was
    // queued already; it must not tick for the cycle that ended.
    if (!running_ || generation != generation_) return;

    next_deadline_ = next_tick_deadline(next_deadline_, std::chrono::steady_clock::now());

    const std::uint64_t clock = advance_clock();
    if (on_tick_) {
        // on_tick may stop (and restart) this source; keep the callable alive
        // while it runs.
        const OnTick on_tick = on_tick_;
        on_tick(clock);
    }
    if (running_ && generation == generation_) arm();
}

void ManualTickSource::start(OnTick on_tick) {
    if (running_) return;
    running_ = true;
    on_tick_ = std::move(on_tick);
}

void ManualTickSource::stop() {
    running_ = false;
    pending_ms_ = 0;
}

void ManualTickSource::advance(std::uint64_t ms) {
    if (!running_) return;
    pending_ms_ += ms;
    while (running_ && pending_ms_ >= kTickMs) {
        pending_ms_ -= kTickMs;
        const std::uint64_t clock = advance_clock();
        if (on_tick_) {
            const OnTick on_tick = on_tick_;
            on_tick(clock);
        }
    }
}

}  // namespace rk::support
