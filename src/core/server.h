// The server as the shell, the command line and the tests see it: start and
// stop the service, read live state, run the exit sequence. Owns the io
// thread that runs every connection.
// Safe for concurrent use: every call may come from any thread but the io
// thread itself.
#pragma once

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>

#include <atomic>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "accounts/account_store.h"
#include "maintenance/conversion.h"
#include "maintenance/purge.h"
#include "platform/env.h"
#include "platform/input.h"
#include "support/tick_source.h"

namespace rk::core {

class Engine;

struct ServerOptions {
    std::string home;
    // Replaces the stored port for this run only; 0 picks any free port.
    std::optional<std::uint16_t> port;
    std::string address = "0.0.0.0";
    platform::Env* env = nullptr;  // the host's when null
    // A steady timer on the io thread when null. Tests pass a
    // support::ManualTickSource that outlives the server and move it on
    // through advance_clock().
    support::TickSource* ticks = nullptr;
    // The display named by $DISPLAY when empty.
    platform::InputOpener open_input = nullptr;
};

struct Snapshot {
    std::size_t connections = 0;
    bool transmitting = false;
    bool listening = false;
    std::uint16_t port = 0;
};

class Server {
public:
    explicit Server(ServerOptions options);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Loads the accounts and settings and starts the clock. The report says
    // what the account file held (a damaged one is set aside, not fatal).
    accounts::LoadReport open();

    // Listens on the stored port (or the override). On failure the service
    // stays stopped and the error says why.
    std::error_code start_service();
    void stop_service();

    // The exit sequence: every connection closed, then the listener, then
    // the account file saved if anything changed. Returns the save's result.
    accounts::SaveResult shut_down();

    Snapshot snapshot() const;
    std::optional<asio::ip::tcp::endpoint> endpoint();

    // Runs `task` on the io thread and waits for its result.
    template <class Task>
    auto call(Task task) -> decltype(task()) {
        using Result = decltype(task());
        std::packaged_task<Result()> job(std::move(task));
        auto result = job.get_future();
        post(std::function<void()>([&job] { job(); }));
        return result.get();
    }

    // Maintenance jobs. Each runs on the calling thread (never the io
    // thread) while the service goes on, and reports its progress in
    // status(). Only one runs at a time: a second call while one runs
    // waits for it.
    maintenance::PurgeResult purge(int days);
    // Unpacks the old version's containers; when all went well the accounts
    // are saved, the legacy user file retired and client requests served
    // again.
    struct ConversionOutcome {
        maintenance::ConversionResult result;
        maintenance::FinishResult finish;  // empty unless the result was complete
    };
    ConversionOutcome convert();
    // The last progress a job reported; a searching step with no text
    // before any job ran.
    maintenance::Progress status() const;
    // Asks a running purge or conversion to stop at its next item (the
    // disk is left so that a later run carries on); for the exit.
    void stop_jobs() { jobs_stopping_ = true; }

    // A ManualTickSource in the options only: moves the clock on by `ms`,
    // running each tick on the io thread as its own event.
    void advance_clock(std::uint64_t ms);

    // io thread only, for call().
    accounts::AccountStore& accounts() { return *accounts_; }

    // The language chosen outside the program ("LangIndex"), if any.
    std::optional<std::int64_t> lang_index() const { return lang_index_; }

private:
    void post(std::function<void()> task);

    ServerOptions options_;
    platform::Env& env_;
    asio::io_context io_;
    std::unique_ptr<support::TickSource> steady_ticks_;  // when the options name none
    support::TickSource* ticks_;
    std::unique_ptr<accounts::AccountStore> accounts_;
    std::unique_ptr<Engine> engine_;
    std::thread thread_;
    std::optional<std::int64_t> lang_index_;

    maintenance::JobControl job_control();
    std::mutex job_mutex_;            // one maintenance job at a time
    std::atomic<bool> jobs_stopping_{false};
    mutable std::mutex status_mutex_;
    maintenance::Progress status_;
};

}  // namespace rk::core
