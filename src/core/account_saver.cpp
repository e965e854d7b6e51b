#include "core/account_saver.h"

#include <asio/post.hpp>

#include "core/signal.h"

namespace rk::core {

AccountSaver::AccountSaver(asio::io_context& io, asio::thread_pool& pool, platform::Env& env,
                           accounts::AccountStore& store, std::function<void()> changed)
    : io_(io),
      pool_(pool),
      env_(env),
      store_(store),
      changed_(std::move(changed)),
      gathering_(io) {}

void AccountSaver::save(Done done) {
    waiting_.push_back(std::move(done));
    // A running write took its bytes already: what is asked now goes into
    // the next one.
    if (!writing_ && !gathering_armed_) gather();
}

void AccountSaver::gather() {
    gathering_armed_ = true;
    gathering_.expires_after(kGathering);
    gathering_.async_wait([this](std::error_code ec) {
        if (ec) return;
        gathering_armed_ = false;
        write();
    });
}

void AccountSaver::write() {
    writing_ = true;
    auto batch = std::make_shared<Batch>();
    batch->save = store_.prepare_save();
    batch->waiters = std::move(waiting_);
    waiting_.clear();
    // The batch goes back with the result, so that what the waiters hold is
    // let go on the io thread.
    asio::post(pool_, [this, batch]() mutable {
        batch->result = accounts::write_account_file(env_, batch->save);
        asio::post(io_, [this, batch = std::move(batch)] { written(*batch); });
    });
}

void AccountSaver::written(Batch& batch) {
    store_.finish_save(batch.save, batch.result);
    // Still writing while the waiters hear: a save one of them asks for
    // goes into the next write.
    for (const Done& done : batch.waiters) done(batch.result);
    writing_ = false;
    if (!waiting_.empty()) {
        gather();
        return;
    }
    auto idle = std::move(idle_);
    idle_.clear();
    for (const auto& call : idle) call();
}

void AccountSaver::when_idle(std::function<void()> idle) {
    if (!writing_ && !gathering_armed_ && waiting_.empty()) {
        idle();
        return;
    }
    idle_.push_back(std::move(idle));
}

namespace {

// A save's result as a coroutine waits for it. Shared with the callback, so
// that a coroutine destroyed while it waits leaves nothing dangling.
struct Awaited {
    explicit Awaited(asio::io_context& io) : written(io) {}
    Signal written;
    bool done = false;
    accounts::SaveResult result;
};

}  // namespace

asio::awaitable<accounts::CreateResult> AccountSaver::create_client_user(
    std::string_view name, std::string_view password) {
    accounts::CreateResult created = store_.add_client_user(name, password);
    if (created.outcome != accounts::CreateOutcome::created) co_return created;
    changed_();
    auto awaited = std::make_shared<Awaited>(io_);
    // Taken back in the callback, before a later write can take the store's
    // bytes: the client hears "not created", so no file may keep it.
    save([this, awaited, account = created.account](const accounts::SaveResult& result) {
        if (!result.ok()) {
            store_.take_back(account);
            changed_();
        }
        awaited->result = result;
        awaited->done = true;
        awaited->written.notify();
    });
    while (!awaited->done) co_await awaited->written.wait();
    if (!awaited->result.ok()) {
        co_return accounts::CreateResult{
            accounts::CreateOutcome::save_failed, awaited->result.status, {}};
    }
    co_return created;
}

}  // namespace rk::core
