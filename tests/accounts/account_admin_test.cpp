#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "accounts/account_store.h"
#include "platform/home_files.h"
#include "testing/temp_dir.h"

namespace rk::accounts {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> names_of(const AccountStore& store) {
    std::vector<std::string> names;
    for (const Account& account : store.accounts()) names.push_back(account.name);
    return names;
}

// A home folder whose account file holds `accounts` (names the store would
// never let an operator type included), loaded into a store.
class AccountAdminTest : public ::testing::Test {
protected:
    platform::testing::TempDir dir;
    AccountStore store{platform::Env::host(), dir.path()};

    void start_with(std::vector<Account> accounts) {
        AccountImage image;
        image.accounts = std::move(accounts);
        const wire::CodecResult file = encode_account_file(image);
        dir.write_file(std::string(platform::kAccountFileName),
                       std::string(file.bytes.begin(), file.bytes.end()));
        ASSERT_EQ(store.load().status, LoadStatus::loaded);
    }

    std::vector<std::string> names_on_disk() const {
        AccountStore reread(platform::Env::host(), dir.path());
        reread.load();
        return names_of(reread);
    }
};

struct AddCase {
    const char* what;
    std::string name;
    EditOutcome outcome;
    std::string stored;  // the name kept, when added
};

TEST_F(AccountAdminTest, AddJudgesTheNameAsItWillBeStored) {
    const std::vector<AddCase> cases = {
        {"a plain name", "carol", EditOutcome::done, "carol"},
        {"the 15 bytes kept of a longer name", "abcdefghijklmnopq", EditOutcome::done,
         "abcdefghijklmno"},
        {"taken in another letter case", "ALICE", EditOutcome::name_taken, ""},
        {"taken once cut to 15 bytes", "Long-name-12345xyz", EditOutcome::name_taken, ""},
        {"empty", "", EditOutcome::invalid_name, ""},
        {"a parent reference", "..", EditOutcome::invalid_name, ""},
        {"a path", "a/b", EditOutcome::invalid_name, ""},
        {"a backslash path", "a\\b", EditOutcome::invalid_name, ""},
        {"one of the program's files", "RKCLIENT.INI", EditOutcome::invalid_name, ""},
        {"a control byte", "bo\tb", EditOutcome::invalid_name, ""},
        {"a slash past the 15 bytes kept", "abcdefghijklmno/x", EditOutcome::done,
         "abcdefghijklmno"},
    };
    for (const AddCase& c : cases) {
        start_with({{"alice", "a", false}, {"long-name-12345", "l", false}});
        EXPECT_EQ(store.add(c.name, "pw"), c.outcome) << c.what;
        if (c.outcome == EditOutcome::done) {
            ASSERT_EQ(store.accounts().size(), 3u) << c.what;
            EXPECT_EQ(store.accounts().back(), (Account{c.stored, "pw", false})) << c.what;
            EXPECT_TRUE(store.modified()) << c.what;
        } else {
            EXPECT_EQ(store.accounts().size(), 2u) << c.what;
            EXPECT_FALSE(store.modified()) << c.what;
        }
    }
}

TEST_F(AccountAdminTest, EditsReachTheFileOnlyWithASave) {
    start_with({{"alice", "a", false}});
    ASSERT_EQ(store.add("bob", ""), EditOutcome::done);
    EXPECT_EQ(names_on_disk(), std::vector<std::string>{"alice"});
    ASSERT_TRUE(store.save().ok());
    EXPECT_FALSE(store.modified());
    EXPECT_EQ(names_on_disk(), (std::vector<std::string>{"alice", "bob"}));
}

TEST_F(AccountAdminTest, NewUserNameTakesTheFirstFreeNumberIgnoringCase) {
    struct Case {
        std::vector<std::string> existing;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {{}, "New User1"},
        {{"New User1", "New User3"}, "New User2"},
        {{"NEW USER1"}, "New User2"},
        {{"new user2"}, "New User1"},
    };
    for (const Case& c : cases) {
        std::vector<Account> accounts;
        for (const std::string& name : c.existing) accounts.push_back({name, "", false});
        start_with(accounts);
        EXPECT_EQ(store.new_user_name("New User"), c.expected) << c.existing.size();
    }
    // Every number gives the same 15 bytes, so all are taken: the last one tried is used.
    start_with({{"ABCDEFGHIJKLMNO", "", false}});
    EXPECT_EQ(store.new_user_name("abcdefghijklmno"), "abcdefghijklmno");
}

TEST_F(AccountAdminTest, RenameRefusesOnlyAnotherAccountsName) {
    struct Case {
        const char* what;
        std::string new_name;
        EditOutcome outcome;
        std::string result;  // bob's name afterwards
    };
    const std::vector<Case> cases = {
        {"a free name", "robert", EditOutcome::done, "robert"},
        {"its own name in another case", "BOB", EditOutcome::done, "BOB"},
        {"another account's name in another case", "ALICE-and-MORE-", EditOutcome::name_taken,
         "bob"},
        {"another account's name once cut", "alice-and-more-x", EditOutcome::name_taken, "bob"},
        {"empty", "", EditOutcome::invalid_name, "bob"},
        {"a path", "../bob", EditOutcome::invalid_name, "bob"},
    };
    for (const Case& c : cases) {
        start_with({{"alice-and-more-", "a", false}, {"bob", "b", false}});
        EXPECT_EQ(store.rename("bob", c.new_name), c.outcome) << c.what;
        EXPECT_EQ(store.accounts()[1].name, c.result) << c.what;
        EXPECT_EQ(store.accounts()[1].password, "b") << c.what;
        EXPECT_EQ(store.modified(), c.outcome == EditOutcome::done) << c.what;
    }
}

TEST_F(AccountAdminTest, RenameByIndexAndUnknownTargets) {
    start_with({{"alice", "a", false}, {"bob", "b", false}});
    EXPECT_EQ(store.rename(std::size_t{0}, "anna"), EditOutcome::done);
    EXPECT_EQ(store.rename(std::size_t{2}, "carl"), EditOutcome::not_found);
    EXPECT_EQ(store.rename("nobody", "carl"), EditOutcome::not_found);
    EXPECT_EQ(store.rename("BOB", "bert"), EditOutcome::done) << "found ignoring case";
    EXPECT_EQ(names_of(store), (std::vector<std::string>{"anna", "bert"}));
}

TEST_F(AccountAdminTest, RenameLeavesTheStorageFolderWhereItIs) {
    start_with({{"bob", "b", false}});
    dir.make_dir("bob");
    dir.write_file("bob/slot.sav", "s");
    ASSERT_EQ(store.rename("bob", "robert"), EditOutcome::done);
    EXPECT_EQ(dir.read_file("bob/slot.sav"), "s");
    EXPECT_FALSE(fs::exists(dir.path("robert")));
}

TEST_F(AccountAdminTest, PasswordAndForbiddenMarkReachTheFile) {
    start_with({{"alice", "a", false}, {"bob", "b", false}});
    EXPECT_EQ(store.set_password("bob", "0123456789abcdefXYZ"), EditOutcome::done);
    EXPECT_EQ(store.set_password("nobody", "x"), EditOutcome::not_found);
    EXPECT_EQ(store.set_forbidden("alice", true), EditOutcome::done);
    EXPECT_EQ(store.set_forbidden(std::size_t{7}, true), EditOutcome::not_found);
    EXPECT_TRUE(store.modified());
    ASSERT_TRUE(store.save().ok());

    AccountStore reread(platform::Env::host(), dir.path());
    reread.load();
    const std::vector<Account> expected = {{"alice", "a", true}, {"bob", "0123456789abcde", false}};
    EXPECT_EQ(std::vector<Account>(reread.accounts().begin(), reread.accounts().end()), expected);
    EXPECT_TRUE(reread.find_user_pass("bob", "0123456789abcde"));
    EXPECT_FALSE(reread.find_user_pass("bob", "0123456789abcdef"));

    ASSERT_EQ(reread.set_forbidden("alice", false), EditOutcome::done);
    EXPECT_FALSE(reread.accounts()[0].forbidden);
}

TEST_F(AccountAdminTest, UnchangedValuesDoNotMarkTheStoreModified) {
    start_with({{"alice", "a", true}});
    EXPECT_EQ(store.set_password("alice", "a"), EditOutcome::done);
    EXPECT_EQ(store.set_forbidden("alice", true), EditOutcome::done);
    EXPECT_EQ(store.rename("alice", "alice"), EditOutcome::done);
    EXPECT_FALSE(store.modified());
}

TEST_F(AccountAdminTest, RemoveDeletesTheAccountAndItsFolderAtOnceAndTheFileLater) {
    start_with({{"alice", "a", false}, {"alice2", "b", false}});
    dir.make_dir("alice/saves");
    dir.write_file("alice/saves/slot.sav", "s");
    dir.make_dir("alice2");
    dir.write_file("alice2/keep", "k");

    const RemoveResult result = store.remove("alice");
    EXPECT_EQ(result.outcome, EditOutcome::done);
    EXPECT_EQ(result.folder, FolderOutcome::deleted);
    EXPECT_EQ(names_of(store), std::vector<std::string>{"alice2"});
    EXPECT_FALSE(fs::exists(dir.path("alice")));
    EXPECT_EQ(dir.read_file("alice2/keep"), "k");
    EXPECT_TRUE(store.modified());
    EXPECT_EQ(names_on_disk(), (std::vector<std::string>{"alice", "alice2"}));
    ASSERT_TRUE(store.save().ok());
    EXPECT_EQ(names_on_disk(), std::vector<std::string>{"alice2"});
}

TEST_F(AccountAdminTest, RemoveReportsWhatBecameOfTheFolder) {
    struct Case {
        const char* what;
        std::vector<Account> accounts;
        std::string removed;
        FolderOutcome folder;
    };
    const std::vector<Case> cases = {
        {"no folder", {{"alice", "", false}}, "alice", FolderOutcome::absent},
        {"a name from an old file that is a parent reference",
         {{"..", "", false}},
         "..",
         FolderOutcome::refused},
        {"a name from an old file that is a path",
         {{"x/../..", "", false}},
         "x/../..",
         FolderOutcome::refused},
        {"another account's name in another case",
         {{"Bob", "", false}, {"bob", "", false}},
         "bob",
         FolderOutcome::shared},
        {"a link in the folder's place",
         {{"carol", "", false}},
         "carol",
         FolderOutcome::not_a_folder},
    };
    for (const Case& c : cases) {
        dir.make_dir("Bob");
        dir.write_file("Bob/slot.sav", "b");
        std::error_code ignored;
        fs::remove(dir.path("carol"), ignored);
        dir.symlink(dir.path("Bob"), "carol");
        dir.write_file("keep", "k");
        start_with(c.accounts);

        const RemoveResult result = store.remove(c.removed);
        EXPECT_EQ(result.outcome, EditOutcome::done) << c.what;
        EXPECT_EQ(result.folder, c.folder) << c.what;
        EXPECT_EQ(store.accounts().size(), c.accounts.size() - 1) << c.what;
        EXPECT_EQ(dir.read_file("Bob/slot.sav"), "b") << c.what;
        EXPECT_EQ(dir.read_file("keep"), "k") << c.what;
        EXPECT_TRUE(fs::exists(dir.path(std::string(platform::kAccountFileName)))) << c.what;
    }
}

TEST_F(AccountAdminTest, RemoveOfAnUnknownAccountTouchesNothing) {
    start_with({{"alice", "", false}});
    dir.make_dir("nobody");
    const RemoveResult result = store.remove("nobody");
    EXPECT_EQ(result.outcome, EditOutcome::not_found);
    EXPECT_TRUE(fs::exists(dir.path("nobody")));
    EXPECT_EQ(store.remove(std::size_t{1}).outcome, EditOutcome::not_found);
    EXPECT_FALSE(store.modified());
}

TEST_F(AccountAdminTest, ListShowsNamesAndMarksWithoutPasswords) {
    start_with({{"alice", "secret", false}, {"bob", "hidden", true}});
    const std::vector<AccountEntry> entries = store.list();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].index, 0u);
    EXPECT_EQ(entries[0].name, "alice");
    EXPECT_FALSE(entries[0].forbidden);
    EXPECT_EQ(entries[1].index, 1u);
    EXPECT_EQ(entries[1].name, "bob");
    EXPECT_TRUE(entries[1].forbidden);
}

}  // namespace
}  // namespace rk::accounts
