// Writes the account file without holding up the io thread: the bytes are
// taken on the io thread, written on the pool, and the result comes back to
// the io thread. Saves asked for within a few milliseconds of each other, or
// while a write runs, become one write, and everyone who asked hears its
// result. One write at a time, so the file never sees two.
// io thread only.
#pragma once

#include <asio/awaitable.hpp>
#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>
#include <asio/thread_pool.hpp>
#include <chrono>
#include <functional>
#include <memory>
#include <string_view>
#include <vector>

#include "accounts/account_store.h"
#include "platform/env.h"

namespace rk::core {

class AccountSaver {
public:
    using Done = std::function<void(const accounts::SaveResult&)>;

    // How long a save waits for others to join it.
    static constexpr std::chrono::milliseconds kGathering{5};

    // `changed` runs whenever the saver itself changed the accounts.
    AccountSaver(asio::io_context& io, asio::thread_pool& pool, platform::Env& env,
                 accounts::AccountStore& store, std::function<void()> changed);
    AccountSaver(const AccountSaver&) = delete;
    AccountSaver& operator=(const AccountSaver&) = delete;

    // Asks for a write of the store as it will be once the gathering is
    // over. `done` gets the result on the io thread before anything else
    // can change the store.
    void save(Done done);

    // A client's new account: appended, then answered once it is on disk. A
    // failed save takes it back out (the store's take_back) and reports
    // save_failed.
    asio::awaitable<accounts::CreateResult> create_client_user(std::string_view name,
                                                               std::string_view password);

    // Runs `idle` once no save is asked for or being written.
    void when_idle(std::function<void()> idle);

private:
    struct Batch {
        accounts::PendingSave save;
        accounts::SaveResult result;
        std::vector<Done> waiters;
    };

    void gather();
    void write();
    void written(Batch& batch);

    asio::io_context& io_;
    asio::thread_pool& pool_;
    platform::Env& env_;
    accounts::AccountStore& store_;
    std::function<void()> changed_;
    asio::steady_timer gathering_;
    bool gathering_armed_ = false;
    bool writing_ = false;
    std::vector<Done> waiting_;
    std::vector<std::function<void()>> idle_;
};

}  // namespace rk::core
