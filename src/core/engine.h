// The server's io-thread state: the listener, the live connections, the tick
// with its budgets, the server clock and the link watch, and what requests
// need (accounts, home folder, platform). Everything here runs on the io thread; only the
// counters in LiveState may be read from other threads.
#pragma once

#include <asio/awaitable.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/thread_pool.hpp>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "accounts/account_store.h"
#include "accounts/client_config.h"
#include "core/account_saver.h"
#include "core/server_clock.h"
#include "files/client_walk.h"
#include "platform/env.h"
#include "platform/input.h"
#include "support/tick_source.h"

namespace rk::core {

class Session;

// Counters the operator's lamps read from any thread.
struct LiveState {
    std::atomic<std::size_t> connections{0};
    std::atomic<bool> listening{0};
    std::atomic<std::uint16_t> port{0};
    std::atomic<std::int32_t> transmit_countdown{0};
    // The accounts' revision last told to the listeners.
    std::atomic<std::uint64_t> accounts_version{0};
};

class Engine {
public:
    // A peer silent this long is closed by the link watch.
    static constexpr std::uint64_t kIdleLimitMs = 180000;

    Engine(asio::io_context& io, platform::Env& env, std::string home,
           accounts::AccountStore& accounts, support::TickSource& ticks,
           platform::InputOpener open_input);
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // Opens the listener; on failure the service stays stopped.
    std::error_code start_service(const asio::ip::address& address, std::uint16_t port);
    // Closes the listener and every connection.
    void stop_service();
    // The first step of the exit: every connection is closed, and nothing is
    // accepted or sent any more.
    void shut_down();
    std::optional<asio::ip::tcp::endpoint> local_endpoint() const;

    void on_tick(std::uint64_t now);
    ServerClock& clock() { return clock_; }

    void forget(const Session& session);

    asio::io_context& io() { return io_; }
    platform::Env& env() { return env_; }
    const std::string& home() const { return home_; }
    accounts::AccountStore& accounts() { return accounts_; }
    // Writes the account file on the pool; every save goes through it.
    AccountSaver& saver() { return saver_; }
    // Listeners are called on the io thread after the accounts changed (not
    // after each change: once for what one operation or request changed).
    // They must not wait for the server.
    std::uint64_t add_accounts_listener(std::function<void()> listener);
    void remove_accounts_listener(std::uint64_t id) { accounts_listeners_.erase(id); }
    // Tells the listeners when the accounts changed since they last heard.
    void publish_account_changes();
    // The configuration pushed to clients at logon; re-read every 5 s.
    accounts::ClientConfig& client_config() { return client_config_; }
    LiveState& live() { return live_; }
    bool shutting_down() const { return shutting_down_; }
    // One buffer for every socket read: reads happen one at a time on the
    // io thread, and an idle connection should not hold a buffer of its own.
    std::span<std::uint8_t> read_buffer() { return read_buffer_; }

    // The desktop's mouse and keyboard, opened through the opener given at
    // the first request; nullptr when it gives none (no X display), and input
    // requests are then ignored.
    platform::InputInjector* input();

    // Runs blocking storage work (walks, tree deletes, batch packing) on the
    // pool and resumes the caller on the io thread once it is done. `work`
    // must stay alive until then.
    asio::awaitable<void> run_blocking(const std::function<void()>& work);

    // The bandwidth limit in kByte/s; 0 for none.
    std::int64_t bandwidth_limit();
    // Bytes the streams may still send before they wait; refilled every tick
    // from the limit and shared by every connection.
    std::int64_t bandwidth_budget() const { return bandwidth_budget_; }
    void spend_bandwidth(std::int64_t bytes) { bandwidth_budget_ -= bytes; }
    void mark_transmitting() { live_.transmit_countdown = 500; }

    // Directory items per tick that walks may visit; 0 or less: no limit.
    void set_scan_rate(std::int64_t per_tick);
    // Takes one unit of the scan budget, waiting for the tick to refill it.
    // False when `stop` is set or the server shuts down meanwhile. Called
    // from pool threads.
    bool take_scan_unit(const std::atomic<bool>& stop);
    // Lets walks waiting for the scan budget look at their stop flag again.
    void wake_walks();
    // What a walk on a pool thread may ask: whether `stop` is set, and a unit
    // of the scan budget.
    files::WalkControl walk_control(std::shared_ptr<const std::atomic<bool>> stop);

private:
    asio::awaitable<void> accept_loop();
    void link_check();
    void cancel_walks();

    asio::io_context& io_;
    platform::Env& env_;
    const std::string home_;
    accounts::AccountStore& accounts_;
    ServerClock clock_;
    accounts::ClientConfig client_config_;

    std::optional<asio::ip::tcp::acceptor> acceptor_;
    std::map<std::uint64_t, std::shared_ptr<Session>> live_connections_;
    std::uint64_t next_id_ = 1;
    bool shutting_down_ = false;
    LiveState live_;
    std::vector<std::uint8_t> read_buffer_ = std::vector<std::uint8_t>(64 * 1024);
    std::int64_t bandwidth_budget_ = 0;
    platform::InputOpener open_input_;
    std::unique_ptr<platform::InputInjector> input_;
    bool input_tried_ = false;
    std::map<std::uint64_t, std::function<void()>> accounts_listeners_;
    std::uint64_t next_listener_ = 1;
    AccountSaver saver_;

    std::mutex scan_mutex_;
    std::condition_variable scan_refilled_;
    std::atomic<std::int64_t> scan_rate_{-1};
    std::int64_t scan_budget_ = -1;  // guarded by scan_mutex_
    std::atomic<bool> walks_cancelled_{false};

    // Last, so that it is joined before anything its work refers to goes.
    asio::thread_pool pool_{2};
};

}  // namespace rk::core
