#include "core/server.h"

#include <asio/executor_work_guard.hpp>
#include <asio/post.hpp>
#include <spdlog/spdlog.h>

#include "core/engine.h"

namespace rk::core {

namespace {

// Keeps the io thread running while it has nothing to do.
using WorkGuard = asio::executor_work_guard<asio::io_context::executor_type>;

}  // namespace

Server::Server(ServerOptions options)
    : options_(std::move(options)),
      env_(options_.env ? *options_.env : platform::Env::host()) {
    if (options_.manual_clock) {
        ticks_ = std::make_unique<support::ManualTickSource>();
    } else {
        ticks_ = std::make_unique<support::SteadyTickSource>(io_);
    }
    accounts_ = std::make_unique<accounts::AccountStore>(env_, options_.home);
    engine_ = std::make_unique<Engine>(io_, env_, options_.home, *accounts_, *ticks_);
    thread_ = std::thread([this] {
        WorkGuard guard(io_.get_executor());
        io_.run();
    });
}

Server::~Server() {
    call([this] {
        ticks_->stop();
        engine_->stop_service();
    });
    io_.stop();
    thread_.join();
}

void Server::post(std::function<void()> task) { asio::post(io_, std::move(task)); }

accounts::LoadReport Server::open() {
    return call([this] {
        auto report = accounts_->load();
        ticks_->start([this](std::uint64_t now) { engine_->on_tick(now); });
        return report;
    });
}

std::error_code Server::start_service() {
    return call([this] {
        std::error_code ec;
        const auto address = asio::ip::make_address(options_.address, ec);
        if (ec) return ec;
        const std::uint16_t port = options_.port ? *options_.port : accounts_->settings().port;
        return engine_->start_service(address, port);
    });
}

void Server::stop_service() {
    call([this] { engine_->stop_service(); });
}

accounts::SaveResult Server::shut_down() {
    return call([this] {
        engine_->shut_down();
        engine_->stop_service();
        ticks_->stop();
        if (!accounts_->modified()) return accounts::SaveResult{};
        return accounts_->save();
    });
}

Snapshot Server::snapshot() const {
    // Read lock-free: the lamps poll this often.
    const LiveState& live = engine_->live();
    return {live.connections.load(), live.transmit_countdown.load() > 0, live.listening.load(),
            live.port.load()};
}

std::optional<asio::ip::tcp::endpoint> Server::endpoint() {
    return call([this] { return engine_->local_endpoint(); });
}

void Server::advance_clock(std::uint64_t ms) {
    auto* manual = dynamic_cast<support::ManualTickSource*>(ticks_.get());
    if (!manual) return;
    // One tick at a time, as the real clock does, so that socket events
    // that are due run between ticks.
    for (std::uint64_t done = 0; done < ms; done += support::kTickMs) {
        call([manual, step = std::min(support::kTickMs, ms - done)] { manual->advance(step); });
    }
}

}  // namespace rk::core
