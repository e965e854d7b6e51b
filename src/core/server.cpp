#include "core/server.h"

#include <asio/executor_work_guard.hpp>
#include <asio/post.hpp>
#include <spdlog/spdlog.h>

#include "core/engine.h"
#include "platform/registry_store.h"

namespace rk::core {

namespace {

// Keeps the io thread running while it has nothing to do.
using WorkGuard = asio::executor_work_guard<asio::io_context::executor_type>;

}  // namespace

Server::Server(ServerOptions options)
    : options_(std::move(options)),
      env_(options_.env ? *options_.env : platform::Env::host()),
      ticks_(options_.ticks) {
    if (!ticks_) {
        steady_ticks_ = std::make_unique<support::SteadyTickSource>(io_);
        ticks_ = steady_ticks_.get();
    }
    platform::InputOpener open_input = options_.open_input;
    if (!open_input) open_input = [] { return platform::InputInjector::open_display(); };
    accounts_ = std::make_unique<accounts::AccountStore>(env_, options_.home);
    engine_ = std::make_unique<Engine>(io_, env_, options_.home, *accounts_, *ticks_,
                                       std::move(open_input));
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
    // Values kept outside the account file, read once at start.
    platform::RegistryStore registry(env_);
    const auto stored = platform::load_stored_values(registry);
    if (!stored.message.empty()) spdlog::warn("{}", stored.message);
    lang_index_ = stored.lang_index;
    return call([&] {
        auto report = accounts_->load();
        engine_->set_scan_rate(platform::scan_rate_per_tick(stored.limit_scan));
        const auto config = engine_->client_config().load();
        if (!config.message.empty()) spdlog::warn("{}", config.message);
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
    stop_jobs();
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

maintenance::JobControl Server::job_control() {
    return {.progress =
                [this](const maintenance::Progress& progress) {
                    std::lock_guard lock(status_mutex_);
                    status_ = progress;
                },
            .stop_requested = [this] { return jobs_stopping_.load(); }};
}

maintenance::Progress Server::status() const {
    std::lock_guard lock(status_mutex_);
    return status_;
}

maintenance::PurgeResult Server::purge(int days) {
    std::lock_guard job(job_mutex_);
    const auto result = maintenance::purge_old_slots(env_, options_.home, {days, env_.now()}, job_control());
    spdlog::info("purge of saves older than {} days: {} slots, {} files, {} folders removed", days,
                 result.slots_purged, result.files_deleted, result.folders_removed);
    return result;
}

Server::ConversionOutcome Server::convert() {
    std::lock_guard job(job_mutex_);
    ConversionOutcome outcome{maintenance::convert_old_saves(env_, options_.home, job_control()), {}};
    for (const auto& problem : outcome.result.problems) {
        spdlog::warn("conversion: {} {}: {}", problem.path, problem.entry, problem.detail);
    }
    if (outcome.result.complete()) {
        outcome.finish = call([this] {
            return maintenance::finish_conversion(env_, options_.home, *accounts_);
        });
        if (!outcome.finish.ok()) spdlog::error("conversion not finished: {}", outcome.finish.error);
    }
    spdlog::info("conversion: {} of {} containers converted, {} files written",
                 outcome.result.containers_converted, outcome.result.containers_found,
                 outcome.result.files_written);
    return outcome;
}

void Server::advance_clock(std::uint64_t ms) {
    auto* manual = dynamic_cast<support::ManualTickSource*>(ticks_);
    if (!manual) return;
    // One tick at a time, as the real clock does, so that socket events
    // that are due run between ticks.
    for (std::uint64_t done = 0; done < ms; done += support::kTickMs) {
        call([manual, step = std::min(support::kTickMs, ms - done)] { manual->advance(step); });
    }
}

}  // namespace rk::core
