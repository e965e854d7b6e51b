// The server as the shell, the command line and the tests see it: start and
// stop the service, read live state, edit the accounts and settings, run
// the maintenance jobs and the exit sequence. Owns the io thread that runs
// every connection.
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
#include "core/account_edits.h"
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
    // Changes with every change of the accounts.
    std::uint64_t accounts_version = 0;
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

    // Copies of the accounts as they are now.
    AccountList account_list();
    // The account an operator means by `name`: exactly that name, else the
    // first of that name ignoring ASCII letter case.
    std::optional<AccountView> find_account(std::string_view name);
    // `listener` runs on the io thread after the accounts changed, whoever
    // changed them (an operator, a client creating its account); it must
    // not wait for the server. The id is for removing it; once the removal
    // returns, it is not called any more.
    std::uint64_t add_accounts_listener(std::function<void()> listener);
    void remove_accounts_listener(std::uint64_t id);

    // Account edits. Names are judged as stored: their first 15 bytes, a
    // valid folder name, unique with ASCII letter case ignored.
    EditResult add_account(std::string_view name, std::string_view password, Save save);
    // Adds prefix+"1", +"2" ..., whichever no account has yet, with no password.
    EditResult add_numbered_account(std::string_view prefix, Save save);
    // The storage folder keeps its old name (see AccountStore::rename).
    EditResult rename_account(const accounts::AccountStamp& ref, std::string_view new_name,
                              Save save);
    EditResult set_account_password(const accounts::AccountStamp& ref, std::string_view password,
                                    Save save);
    EditResult set_account_forbidden(const accounts::AccountStamp& ref, bool forbidden, Save save);
    // Takes the account out and deletes its storage folder at once; `folder`
    // says what became of it.
    EditResult delete_account(const accounts::AccountStamp& ref, Save save);

    accounts::Settings settings();
    accounts::SaveResult change_settings(const SettingsChange& change, Save save);
    // Writes the account file when anything changed since it was last written.
    accounts::SaveResult save_accounts();
    bool unsaved_changes();
    // Old saves await conversion; clients get no answer until it is done.
    bool convert_pending();

    // For tests only: runs `task` with the account store on the io thread
    // and waits for its result.
    template <class Task>
    auto run_on_io_thread_for_test(Task task) {
        return run_on_io([&] { return task(*accounts_); });
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

    // The language chosen outside the program ("LangIndex"), if any.
    std::optional<std::int64_t> lang_index() const { return lang_index_; }

private:
    void post(std::function<void()> task);

    // Runs `task` on the io thread and waits for its result; whoever listens
    // hears of the account changes it made before the caller hears back.
    template <class Task>
    auto run_on_io(Task task) -> decltype(task()) {
        using Result = decltype(task());
        struct Publisher {
            Server& server;
            ~Publisher() { server.publish_account_changes(); }
        };
        std::packaged_task<Result()> job([this, &task]() -> Result {
            const Publisher publisher{*this};
            return task();
        });
        auto result = job.get_future();
        post(std::function<void()>([&job] { job(); }));
        return result.get();
    }
    void publish_account_changes();
    // An account edit on the io thread: `edit` gets the store and the
    // index of the account `ref` names (none without a `ref`) and says how
    // it went; an account that changed or went is refused before `edit`
    // runs. With Save::now the result waits for the write.
    EditResult edit_account(
        const std::optional<accounts::AccountStamp>& ref, Save save,
        const std::function<EditResult(accounts::AccountStore&, std::optional<std::size_t>)>& edit);
    // Asks for a write of the account file; `also` runs on the io thread
    // with the result before the future gets it. io thread only.
    std::future<accounts::SaveResult> request_save(
        std::function<void(const accounts::SaveResult&)> also = {});

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
    std::mutex job_mutex_;  // one maintenance job at a time
    std::atomic<bool> jobs_stopping_{false};
    mutable std::mutex status_mutex_;
    maintenance::Progress status_;
};

}  // namespace rk::core
