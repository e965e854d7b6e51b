// A steady timer used as an event on the io thread: a coroutine waits on it
// until someone cancels it ("something changed"), then looks again.
#pragma once

#include <asio/awaitable.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>

namespace rk::core {

// Re-arming only when needed keeps two waiters on one timer from cancelling
// each other.
inline asio::awaitable<void> wait_signal(asio::steady_timer& signal) {
    if (signal.expiry() != asio::steady_timer::time_point::max()) {
        signal.expires_at(asio::steady_timer::time_point::max());
    }
    std::error_code ignored;
    co_await signal.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
}

}  // namespace rk::core
