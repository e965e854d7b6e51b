// An event on the io thread: coroutines wait on it until someone notifies it
// ("something changed"), then look again at what they wait for. A notify
// with nobody waiting is not remembered, so a waiter tests its condition
// before every wait.
#pragma once

#include <asio/awaitable.hpp>
#include <asio/io_context.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>

namespace rk::core {

class Signal {
public:
    explicit Signal(asio::io_context& io) : timer_(io, asio::steady_timer::time_point::max()) {}

    // Wakes every coroutine waiting now.
    void notify() { timer_.cancel(); }

    asio::awaitable<void> wait() {
        // The expiry stays at its maximum, so that one waiter never cancels
        // another by re-arming.
        std::error_code ignored;
        co_await timer_.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
    }

private:
    asio::steady_timer timer_;
};

}  // namespace rk::core
