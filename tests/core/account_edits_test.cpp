// The operator's edits through Server: each names the account as it was
// seen, saves are written off the io thread and shared by the edits that
// wait for them, and whoever shows the accounts hears of every change.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <thread>
#include <vector>

#include "accounts/account_store.h"
#include "client/connection.h"
#include "core/server.h"
#include "testing/env_wrapper.h"
#include "testing/faulty_env.h"
#include "testing/gate.h"
#include "testing/temp_dir.h"

namespace rk::core {
namespace {

using namespace std::chrono_literals;

// Waits, a millisecond at a time, until `condition` holds; false after 5 s.
template <class Condition>
bool wait_for(Condition condition) {
    for (int i = 0; i < 5000; ++i) {
        if (condition()) return true;
        std::this_thread::sleep_for(1ms);
    }
    return condition();
}

std::vector<accounts::Account> accounts_of(const AccountList& list) {
    std::vector<accounts::Account> accounts;
    for (const auto& view : list.accounts) accounts.push_back(view.account);
    return accounts;
}

std::unique_ptr<Server> open_server(const std::string& home, platform::Env* env = nullptr) {
    auto server = std::make_unique<Server>(ServerOptions{
        .home = home, .port = 0, .address = "127.0.0.1", .env = env});
    server->open();
    return server;
}

// --- stale edits ------------------------------------------------------------

struct Meanwhile {
    const char* what;
    void (*change)(Server&, const AccountView& alice);
};
struct LateEdit {
    const char* what;
    EditResult (*edit)(Server&, const AccountView& alice);
};

TEST(AccountEdits, EditOfAnAccountChangedMeanwhileIsRefusedAndTouchesNoOther) {
    const Meanwhile changes[] = {
        {"renamed",
         [](Server& s, const AccountView& a) { s.rename_account(a.ref, "alicia", Save::later); }},
        {"password changed",
         [](Server& s, const AccountView& a) {
             s.set_account_password(a.ref, "other", Save::later);
         }},
        {"deleted", [](Server& s, const AccountView& a) { s.delete_account(a.ref, Save::later); }},
        {"deleted and its name given to a new account",
         [](Server& s, const AccountView& a) {
             s.delete_account(a.ref, Save::later);
             s.add_account("alice", "new", Save::later);
         }},
    };
    const LateEdit edits[] = {
        {"rename",
         [](Server& s, const AccountView& a) { return s.rename_account(a.ref, "zed", Save::now); }},
        {"delete",
         [](Server& s, const AccountView& a) { return s.delete_account(a.ref, Save::now); }},
        {"password",
         [](Server& s, const AccountView& a) {
             return s.set_account_password(a.ref, "x", Save::now);
         }},
        {"forbid",
         [](Server& s, const AccountView& a) {
             return s.set_account_forbidden(a.ref, true, Save::now);
         }},
    };
    for (const Meanwhile& change : changes) {
        for (const LateEdit& edit : edits) {
            SCOPED_TRACE(std::string(change.what) + ", then " + edit.what);
            platform::testing::TempDir home;
            auto server = open_server(home.path());
            server->add_account("alice", "pw", Save::later);
            server->add_account("bob", "pw", Save::later);
            const AccountView alice = *server->find_account("alice");
            change.change(*server, alice);
            const AccountList before = server->account_list();
            home.make_dir("alicia/game");

            const EditResult result = edit.edit(*server, alice);
            EXPECT_EQ(result.status, EditStatus::stale);
            EXPECT_FALSE(result.message.empty());
            EXPECT_FALSE(result.account);
            EXPECT_EQ(accounts_of(server->account_list()), accounts_of(before));
            EXPECT_EQ(server->account_list().version, before.version) << "nothing changed";
            EXPECT_TRUE(std::filesystem::exists(home.path("alicia/game")));
        }
    }
}

TEST(AccountEdits, EditOfAnUnchangedAccountGivesItBackAsItIsNow) {
    platform::testing::TempDir home;
    auto server = open_server(home.path());
    const EditResult added = server->add_account("alice", "pw", Save::later);
    ASSERT_EQ(added.status, EditStatus::done);
    ASSERT_TRUE(added.account);

    const EditResult renamed = server->rename_account(added.account->ref, "alicia", Save::now);
    ASSERT_EQ(renamed.status, EditStatus::done) << renamed.message;
    ASSERT_TRUE(renamed.account);
    EXPECT_EQ(renamed.account->account, (accounts::Account{"alicia", "pw", false}));
    EXPECT_EQ(renamed.account->ref.id, added.account->ref.id) << "the same account";
    EXPECT_FALSE(server->unsaved_changes()) << "saved at once";

    // The stamp the rename gave back names the account for the next edit.
    EXPECT_EQ(server->set_account_forbidden(renamed.account->ref, true, Save::later).status,
              EditStatus::done);
    EXPECT_EQ(server->set_account_forbidden(added.account->ref, false, Save::later).status,
              EditStatus::stale);
    EXPECT_TRUE(server->account_list().accounts.at(0).account.forbidden);
}

// --- account file writes ----------------------------------------------------

// Counts the writes of the account file (each ends in a rename onto it)
// and can hold the first one after the gate is armed.
class AccountFileWrites final : public platform::testing::EnvWrapper {
public:
    AccountFileWrites() : EnvWrapper(platform::Env::host()) {}

    std::error_code rename(const std::string& from, const std::string& to) override {
        if (to.ends_with("/rkServer.cfg")) {
            ++writes;
            gate.pass();
        }
        return EnvWrapper::rename(from, to);
    }

    std::atomic<int> writes{0};
    platform::testing::Gate gate;
};

TEST(AccountSaves, EditsMadeWhileAWriteRunsShareTheNextWrite) {
    platform::testing::TempDir home;
    AccountFileWrites disk;
    auto server = open_server(home.path(), &disk);
    for (const char* name : {"a", "b", "c"}) server->add_account(name, "pw", Save::later);
    const AccountList list = server->account_list();

    disk.gate.arm();
    accounts::SaveResult first;
    std::thread setting([&] { first = server->change_settings({.bandwidth = 9}, Save::now); });
    ASSERT_TRUE(wait_for([&] { return disk.gate.holding(); }));
    EXPECT_NE(disk.gate.held_thread(), std::this_thread::get_id());

    std::array<EditResult, 3> results;
    std::vector<std::thread> editors;
    for (std::size_t i = 0; i < results.size(); ++i) {
        editors.emplace_back([&, i] {
            results[i] = server->set_account_password(list.accounts[i].ref, "new", Save::now);
        });
    }
    // The edits are in force while they wait for the file.
    EXPECT_TRUE(wait_for([&] {
        const auto now = server->account_list();
        return std::all_of(now.accounts.begin(), now.accounts.end(),
                           [](const AccountView& v) { return v.account.password == "new"; });
    }));
    disk.gate.release();
    setting.join();
    for (auto& editor : editors) editor.join();

    EXPECT_TRUE(first.ok()) << first.status.to_string();
    for (const EditResult& result : results)
        EXPECT_EQ(result.status, EditStatus::done) << result.message;
    EXPECT_EQ(disk.writes, 2) << "the three edits made during the first write share one";
    EXPECT_FALSE(server->unsaved_changes());
    accounts::AccountStore reread(platform::Env::host(), home.path());
    ASSERT_EQ(reread.load().status, accounts::LoadStatus::loaded);
    EXPECT_EQ(reread.settings().bandwidth, 9);
    for (const auto& account : reread.accounts())
        EXPECT_EQ(account.password, "new") << account.name;
}

TEST(AccountSaves, AFailedWriteIsReportedAndTheEditStaysUnsaved) {
    platform::testing::TempDir home;
    platform::testing::FaultyEnv disk(platform::Env::host());
    auto server = open_server(home.path(), &disk);
    disk.fail_at(1, ENOSPC, platform::testing::FaultyEnv::Mode::once, platform::testing::FaultyEnv::kRename);

    const EditResult added = server->add_account("alice", "pw", Save::now);
    EXPECT_EQ(disk.failures(), 1u);
    EXPECT_EQ(added.status, EditStatus::not_saved);
    EXPECT_TRUE(added.applied());
    EXPECT_NE(added.message.find("could not be saved"), std::string::npos) << added.message;
    EXPECT_TRUE(server->find_account("alice")) << "in force all the same";
    EXPECT_TRUE(server->unsaved_changes());
    EXPECT_TRUE(server->shut_down().ok()) << "the exit writes it";
    EXPECT_TRUE(std::filesystem::exists(home.path("rkServer.cfg")));
}

// --- client account creation and the listeners ------------------------------

class ClientAccountTest : public ::testing::Test {
protected:
    void start(platform::Env* env = nullptr) {
        server_ = open_server(home_.path(), env);
        ASSERT_FALSE(server_->start_service());
        listener_ = server_->add_accounts_listener([this] { ++heard_; });
    }
    client::AccountResult create(const std::string& name) {
        std::error_code ec;
        auto conn = client::Connection::connect("127.0.0.1", server_->endpoint()->port(), ec,
                                                {.ack_timeout = 3s, .answer_timeout = 3s});
        EXPECT_TRUE(conn) << ec.message();
        return conn ? conn->create_account(name, "pw") : client::AccountResult::no_answer;
    }
    bool on_disk(const std::string& name) {
        accounts::AccountStore reread(platform::Env::host(), home_.path());
        reread.load();
        return reread.find_user(name).has_value();
    }

    platform::testing::TempDir home_;
    std::unique_ptr<Server> server_;
    std::uint64_t listener_ = 0;
    std::atomic<int> heard_{0};
};

TEST_F(ClientAccountTest, ListenersHearOfAClientCreatedAccount) {
    start();
    const std::uint64_t before = server_->snapshot().accounts_version;

    ASSERT_EQ(create("zed"), client::AccountResult::created);
    EXPECT_GE(heard_, 1) << "heard before the client had its answer";
    EXPECT_NE(server_->snapshot().accounts_version, before);
    EXPECT_TRUE(server_->find_account("zed"));
    EXPECT_TRUE(on_disk("zed"));

    server_->remove_accounts_listener(listener_);
    const int heard = heard_;
    ASSERT_EQ(create("yan"), client::AccountResult::created);
    EXPECT_EQ(heard_, heard) << "a removed listener hears nothing";
}

TEST_F(ClientAccountTest, AccountThatCannotBeSavedIsRefusedAndTakenBack) {
    platform::testing::FaultyEnv disk(platform::Env::host());
    start(&disk);
    disk.fail_at(1, ENOSPC, platform::testing::FaultyEnv::Mode::once, platform::testing::FaultyEnv::kRename);

    EXPECT_EQ(create("zed"), client::AccountResult::not_allowed) << "171, never 168";
    EXPECT_EQ(disk.failures(), 1u);
    EXPECT_FALSE(server_->find_account("zed"));
    EXPECT_FALSE(server_->unsaved_changes()) << "nothing else had changed";
    EXPECT_FALSE(std::filesystem::exists(home_.path("rkServer.cfg")));
    EXPECT_EQ(heard_, 2) << "the account came and went";

    EXPECT_EQ(create("zed"), client::AccountResult::created);
    EXPECT_TRUE(on_disk("zed"));
}

}  // namespace
}  // namespace rk::core
