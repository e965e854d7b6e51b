#include "core/server_clock.h"

namespace rk::core {

asio::awaitable<void> ServerClock::until(std::uint64_t at, Signal& wake) {
    if (now() >= at) co_return;
    // Leaves the table however the wait ends, a destroyed coroutine included.
    const Entry entry(waits_, at, wake);
    co_await wake.wait();
}

ServerClock::Entry::Entry(std::shared_ptr<Waits> waits, std::uint64_t at, Signal& wake)
    : waits_(std::move(waits)), at_(waits_->emplace(at, &wake)) {}

ServerClock::Entry::~Entry() { waits_->erase(at_); }

void ServerClock::advance(std::uint64_t now) {
    const auto due = waits_->upper_bound(now);
    for (auto it = waits_->begin(); it != due; ++it) it->second->notify();
}

}  // namespace rk::core
