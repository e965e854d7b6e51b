#include "core/server.h"

#include <spdlog/spdlog.h>

#include <asio/executor_work_guard.hpp>
#include <asio/post.hpp>

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
    // A write still running ends before the io thread does, so that its
    // result finds the store.
    auto idle = std::make_shared<std::promise<void>>();
    run_on_io([this, idle] {
        ticks_->stop();
        engine_->stop_service();
        engine_->saver().when_idle([idle] { idle->set_value(); });
    });
    idle->get_future().wait();
    io_.stop();
    thread_.join();
}

void Server::post(std::function<void()> task) { asio::post(io_, std::move(task)); }

void Server::publish_account_changes() { engine_->publish_account_changes(); }

std::future<accounts::SaveResult> Server::request_save(
    std::function<void(const accounts::SaveResult&)> also) {
    auto written = std::make_shared<std::promise<accounts::SaveResult>>();
    auto result = written->get_future();
    engine_->saver().save([written, also = std::move(also)](const accounts::SaveResult& saved) {
        if (also) also(saved);
        written->set_value(saved);
    });
    return result;
}

accounts::LoadReport Server::open() {
    // Values kept outside the account file, read once at start.
    platform::RegistryStore registry(env_);
    const auto stored = platform::load_stored_values(registry);
    if (!stored.message.empty()) spdlog::warn("{}", stored.message);
    lang_index_ = stored.lang_index;
    return run_on_io([&] {
        auto report = accounts_->load();
        engine_->set_scan_rate(platform::scan_rate_per_tick(stored.limit_scan));
        const auto config = engine_->client_config().load();
        if (!config.message.empty()) spdlog::warn("{}", config.message);
        ticks_->start([this](std::uint64_t now) { engine_->on_tick(now); });
        return report;
    });
}

std::error_code Server::start_service() {
    return run_on_io([this] {
        std::error_code ec;
        const auto address = asio::ip::make_address(options_.address, ec);
        if (ec) return ec;
        const std::uint16_t port = options_.port ? *options_.port : accounts_->settings().port;
        return engine_->start_service(address, port);
    });
}

void Server::stop_service() {
    run_on_io([this] { engine_->stop_service(); });
}

accounts::SaveResult Server::shut_down() {
    stop_jobs();
    std::future<accounts::SaveResult> saved;
    run_on_io([&] {
        engine_->shut_down();
        engine_->stop_service();
        ticks_->stop();
        if (accounts_->modified()) saved = request_save();
    });
    return saved.valid() ? saved.get() : accounts::SaveResult{};
}

Snapshot Server::snapshot() const {
    // Read lock-free: the lamps poll this often.
    const LiveState& live = engine_->live();
    return {live.connections.load(), live.transmit_countdown.load() > 0, live.listening.load(),
            live.port.load(), live.accounts_version.load()};
}

std::optional<asio::ip::tcp::endpoint> Server::endpoint() {
    return run_on_io([this] { return engine_->local_endpoint(); });
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
    const auto result =
        maintenance::purge_old_slots(env_, options_.home, {days, env_.now()}, job_control());
    spdlog::info("purge of saves older than {} days: {} slots, {} files, {} folders removed", days,
                 result.slots_purged, result.files_deleted, result.folders_removed);
    return result;
}

Server::ConversionOutcome Server::convert() {
    std::lock_guard job(job_mutex_);
    ConversionOutcome outcome{maintenance::convert_old_saves(env_, options_.home, job_control()),
                              {}};
    for (const auto& problem : outcome.result.problems) {
        spdlog::warn("conversion: {} {}: {}", problem.path, problem.entry,
                     problem.status.to_string());
    }
    if (outcome.result.complete()) {
        // Clients are served again once the accounts are on disk, and the
        // old user file goes only then.
        std::future<accounts::SaveResult> saved;
        run_on_io([&] {
            const bool was_pending = accounts_->convert_pending();
            accounts_->set_convert_pending(false);
            saved = request_save([this, was_pending](const accounts::SaveResult& result) {
                if (!result.ok()) accounts_->set_convert_pending(was_pending);
            });
        });
        outcome.finish.status = saved.get().status;
        if (outcome.finish.ok()) {
            maintenance::remove_legacy_users(env_, options_.home, outcome.finish);
        } else {
            spdlog::error("conversion not finished: {}", outcome.finish.status.to_string());
        }
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
        run_on_io(
            [manual, step = std::min(support::kTickMs, ms - done)] { manual->advance(step); });
    }
}

}  // namespace rk::core
