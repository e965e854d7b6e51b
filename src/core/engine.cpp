#include "core/engine.h"

#include <spdlog/spdlog.h>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/post.hpp>
#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>

#include "core/session.h"
#include "core/signal.h"

namespace rk::core {

Engine::Engine(asio::io_context& io, platform::Env& env, std::string home,
               accounts::AccountStore& accounts, support::TickSource& ticks,
               platform::InputOpener open_input)
    : io_(io),
      env_(env),
      home_(std::move(home)),
      accounts_(accounts),
      clock_(ticks),
      client_config_(env, home_),
      open_input_(std::move(open_input)),
      saver_(io, pool_, env, accounts, [this] { publish_account_changes(); }) {}

Engine::~Engine() {
    stop_service();
    cancel_walks();
    pool_.join();
}

void Engine::cancel_walks() {
    walks_cancelled_ = true;
    wake_walks();
}

void Engine::wake_walks() {
    // Under the lock, so that a walk between its test and its wait hears it.
    std::lock_guard lock(scan_mutex_);
    scan_refilled_.notify_all();
}

std::error_code Engine::start_service(const asio::ip::address& address, std::uint16_t port) {
    if (shutting_down_) return std::make_error_code(std::errc::operation_not_permitted);
    if (acceptor_) return {};  // already listening
    asio::ip::tcp::acceptor acceptor(io_);
    const asio::ip::tcp::endpoint endpoint(address, port);
    std::error_code ec;
    acceptor.open(endpoint.protocol(), ec);
    if (!ec) acceptor.set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec) acceptor.bind(endpoint, ec);
    if (!ec) acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
        spdlog::error("cannot listen on {}:{}: {}", address.to_string(), port, ec.message());
        return ec;
    }
    acceptor_.emplace(std::move(acceptor));
    live_.port = acceptor_->local_endpoint().port();
    live_.listening = true;
    asio::co_spawn(io_, accept_loop(), asio::detached);
    return {};
}

void Engine::stop_service() {
    if (acceptor_) {
        std::error_code ignored;
        acceptor_->close(ignored);
        acceptor_.reset();
        live_.listening = false;
        live_.port = 0;
    }
    // Connections that outlive the listener would refer to a stopped service.
    while (!live_connections_.empty()) {
        live_connections_.begin()->second->close("service stopped");
    }
}

void Engine::shut_down() {
    shutting_down_ = true;
    cancel_walks();
    link_check();
}

std::optional<asio::ip::tcp::endpoint> Engine::local_endpoint() const {
    if (!acceptor_) return std::nullopt;
    std::error_code ec;
    auto endpoint = acceptor_->local_endpoint(ec);
    if (ec) return std::nullopt;
    return endpoint;
}

asio::awaitable<void> Engine::accept_loop() {
    for (;;) {
        if (!acceptor_) co_return;
        std::error_code ec;
        auto socket =
            co_await acceptor_->async_accept(asio::redirect_error(asio::use_awaitable, ec));
        if (ec == asio::error::operation_aborted || !acceptor_) co_return;
        if (ec) {
            // Out of descriptors and the like: the listener stays, and waits a
            // moment rather than failing again at once on the same backlog.
            spdlog::warn("accept failed: {}", ec.message());
            asio::steady_timer pause(io_, std::chrono::milliseconds(100));
            std::error_code ignored;
            co_await pause.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
            continue;
        }
        const std::uint64_t id = next_id_++;
        auto session = std::make_shared<Session>(*this, std::move(socket), id);
        live_connections_.emplace(id, session);
        live_.connections = live_connections_.size();
        session->start();
    }
}

void Engine::forget(const Session& session) {
    live_connections_.erase(session.id());
    live_.connections = live_connections_.size();
}

asio::awaitable<void> Engine::run_blocking(const std::function<void()>& work) {
    // Plain handlers carry the work across: no coroutine frame changes threads.
    Signal done(io_);
    bool finished = false;
    std::exception_ptr error;
    asio::post(pool_, [this, &work, &done, &finished, &error] {
        try {
            work();
        } catch (...) {
            error = std::current_exception();
        }
        asio::post(io_, [&done, &finished] {
            finished = true;
            done.notify();
        });
    });
    while (!finished) co_await done.wait();
    if (error) std::rethrow_exception(error);
}

void Engine::publish_account_changes() {
    const std::uint64_t revision = accounts_.revision();
    if (revision == live_.accounts_version) return;
    live_.accounts_version = revision;
    for (const auto& [id, listener] : accounts_listeners_) listener();
}

std::uint64_t Engine::add_accounts_listener(std::function<void()> listener) {
    accounts_listeners_.emplace(next_listener_, std::move(listener));
    return next_listener_++;
}

platform::InputInjector* Engine::input() {
    if (!input_tried_) {
        input_tried_ = true;
        input_ = open_input_();
        if (!input_) spdlog::info("no X display: remote mouse and keyboard requests are ignored");
    }
    return input_ && input_->connected() ? input_.get() : nullptr;
}

std::int64_t Engine::bandwidth_limit() { return accounts_.settings().bandwidth; }

void Engine::set_scan_rate(std::int64_t per_tick) {
    std::lock_guard lock(scan_mutex_);
    scan_rate_ = per_tick;
    scan_refilled_.notify_all();
}

files::WalkControl Engine::walk_control(std::shared_ptr<const std::atomic<bool>> stop) {
    return {.stop_requested = [stop] { return stop->load(); },
            .take_scan_unit = [this, stop] { return take_scan_unit(*stop); }};
}

bool Engine::take_scan_unit(const std::atomic<bool>& stop) {
    if (scan_rate_ <= 0) return !stop;
    std::unique_lock lock(scan_mutex_);
    scan_refilled_.wait(
        lock, [&] { return scan_budget_ >= 0 || scan_rate_ <= 0 || stop || walks_cancelled_; });
    if (stop || walks_cancelled_) return false;
    --scan_budget_;
    return true;
}

void Engine::on_tick(std::uint64_t now) {
    if (const std::int64_t rate = scan_rate_; rate > 0) {
        std::lock_guard lock(scan_mutex_);
        if (scan_budget_ < 2 * rate) scan_budget_ += rate;
        scan_refilled_.notify_all();
    }
    const std::int64_t limit = bandwidth_limit();
    if (limit > 0 && bandwidth_budget_ < 2 * limit) bandwidth_budget_ += 20 * limit;

    if (now % 2000 == 0) link_check();
    if (accounts::client_config_check_due(now)) {
        const auto report = client_config_.refresh();
        if (!report.message.empty()) spdlog::warn("{}", report.message);
        if (report.reloaded) spdlog::info("client configuration reloaded");
    }

    clock_.advance(now);

    if (live_.transmit_countdown > 0) live_.transmit_countdown -= 20;
}

void Engine::link_check() {
    const std::uint64_t now = clock_.now();
    std::vector<std::shared_ptr<Session>> idle;
    for (auto& [id, session] : live_connections_) {
        if (shutting_down_ || session->link().last_activity() + kIdleLimitMs < now) {
            idle.push_back(session);
        }
    }
    for (auto& session : idle) {
        session->close(shutting_down_ ? "server shutting down" : "link idle for 180 s");
    }
}

}  // namespace rk::core
