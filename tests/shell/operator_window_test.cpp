// The operator window drives the server: each control changes what the
// server keeps, and what the server has shows in the window.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSpinBox>
#include <QTabBar>
#include <QTabWidget>
#include <asio/ip/tcp.hpp>
#include <chrono>
#include <filesystem>
#include <thread>

#include "../accounts/account_bytes.h"
#include "accounts/account_store.h"
#include "gui_support.h"
#include "shell/about_dialog.h"
#include "shell/control.h"
#include "shell/lamp.h"
#include "testing/env_wrapper.h"
#include "testing/faulty_env.h"
#include "testing/gate.h"

namespace rk::shell {
namespace {

namespace fs = std::filesystem;
using testing::child;
using testing::click;
using testing::operator""_q;
using testing::eventually;
using testing::Message;
using testing::ModalScript;

class OperatorWindowTest : public testing::ServerFixture {
protected:
    // The window over the server as it is now, shown and active.
    OperatorWindow& open_window() {
        window_ = make_window(english_);
        testing::show_active(*window_);
        return *window_;
    }

    template <class T>
    T* find(const char* name) {
        return child<T>(*window_, name);
    }
    void show_page(const char* name) { window_->pages()->setCurrentWidget(find<QWidget>(name)); }

    QStringList listed() {
        QStringList names;
        auto* list = find<QListWidget>("liAccount");
        for (int i = 0; i < list->count(); ++i) names << list->item(i)->text();
        return names;
    }
    void click_row(int row) {
        auto* list = find<QListWidget>("liAccount");
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                          list->visualItemRect(list->item(row)).center());
    }
    // Replaces the field's text keystroke by keystroke, as typing over a
    // selection does.
    static void type_over(QWidget* field, const QString& text) {
        if (auto* edit = qobject_cast<QLineEdit*>(field)) edit->selectAll();
        if (auto* spin = qobject_cast<QAbstractSpinBox*>(field)) spin->selectAll();
        QTest::keyClicks(field, text);
    }
    // Moves the focus from the field on to the next control.
    static void leave(QLineEdit* field) {
        field->setFocus(Qt::OtherFocusReason);
        ASSERT_TRUE(field->hasFocus());
        QTest::keyClick(field, Qt::Key_Tab);
        ASSERT_FALSE(field->hasFocus());
    }
    accounts::Settings settings_on_disk() {
        accounts::AccountStore reread(platform::Env::host(), home_.path());
        EXPECT_EQ(reread.load().status, accounts::LoadStatus::loaded);
        return reread.settings();
    }

    const UiTexts english_{Language::english};
    std::unique_ptr<OperatorWindow> window_;
};

// --- the settings page ------------------------------------------------------

TEST_F(OperatorWindowTest, ShowsTheServersSettingsWithoutChangingThem) {
    server().change_settings({.bandwidth = 321, .allow_new_users = false, .serve_client_ini = true},
                             core::Save::later);
    save();
    ASSERT_FALSE(autostart_.enable(kProgram));

    open_window();
    EXPECT_EQ(find<QSpinBox>("edTBandW")->value(), 321);
    EXPECT_FALSE(find<QCheckBox>("CheckBox1")->isChecked());
    EXPECT_TRUE(find<QCheckBox>("CheckBox2")->isChecked());
    EXPECT_TRUE(find<QCheckBox>("chkAuto")->isChecked());
    EXPECT_FALSE(modified()) << "filling the controls must not write back";
    EXPECT_TRUE(autostart_.is_enabled(kProgram));
    EXPECT_TRUE(prompter_.errors.empty());
}

TEST_F(OperatorWindowTest, BandwidthFieldSetsTheLimit) {
    open_window();
    show_page("sysPage");
    auto* field = find<QSpinBox>("edTBandW");
    type_over(field, "25");
    EXPECT_EQ(settings().bandwidth, 0) << "running transfers do not get 2, then 25, while 250 is typed";
    QTest::keyClicks(field, "0");
    QTest::keyClick(field, Qt::Key_Return);
    EXPECT_EQ(settings().bandwidth, 250);
    type_over(field, "0");
    QTest::keyClick(field, Qt::Key_Return);
    EXPECT_EQ(settings().bandwidth, 0) << "0 lifts the limit";
}

TEST_F(OperatorWindowTest, SwitchesSetTheirSetting) {
    struct Case {
        const char* box;
        bool (*setting)(const accounts::Settings&);
    };
    const Case cases[] = {
        {"CheckBox1", [](const accounts::Settings& s) { return s.allow_new_users; }},
        {"CheckBox2", [](const accounts::Settings& s) { return s.serves_client_ini(); }},
    };
    open_window();
    show_page("sysPage");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.box);
        auto* box = find<QCheckBox>(c.box);
        const bool before = c.setting(settings());
        ASSERT_EQ(box->isChecked(), before);
        click(box);
        EXPECT_EQ(c.setting(settings()), !before);
        click(box);
        EXPECT_EQ(c.setting(settings()), before);
    }
}

TEST_F(OperatorWindowTest, AutostartBoxWritesAndRemovesTheEntry) {
    open_window();
    show_page("sysPage");
    auto* box = find<QCheckBox>("chkAuto");
    ASSERT_FALSE(box->isChecked());

    click(box);
    EXPECT_TRUE(autostart_.is_enabled(kProgram));
    EXPECT_TRUE(fs::is_regular_file(autostart_.path()));
    click(box);
    EXPECT_FALSE(box->isChecked());
    EXPECT_FALSE(fs::exists(autostart_.path()));
    EXPECT_TRUE(prompter_.errors.empty());
}

TEST_F(OperatorWindowTest, AutostartEntryThatCannotBeWrittenIsReportedAndTheBoxFollowsIt) {
    config_.write_file("autostart", "a file where the folder should be");
    open_window();
    show_page("sysPage");
    auto* box = find<QCheckBox>("chkAuto");

    click(box);
    ASSERT_EQ(prompter_.errors.size(), 1u);
    EXPECT_EQ(prompter_.errors[0].caption, u"Error"_q);
    EXPECT_FALSE(prompter_.errors[0].text.isEmpty());
    EXPECT_FALSE(box->isChecked()) << "the box shows the entry as it is";
    EXPECT_FALSE(autostart_.is_enabled(kProgram));
}

TEST_F(OperatorWindowTest, ServiceButtonStopsAndStartsTheService) {
    open_window();
    show_page("sysPage");
    auto* button = find<QPushButton>("StartIt");
    auto* lamp = find<Lamp>("svrButton");
    ASSERT_FALSE(server().snapshot().listening);
    EXPECT_EQ(button->text(), u"Start Service"_q);
    EXPECT_EQ(lamp->fill(), lamp_colour::grey);

    click(button);
    EXPECT_TRUE(server().snapshot().listening);
    EXPECT_TRUE(server().endpoint().has_value());
    EXPECT_EQ(button->text(), u"Stop service"_q);
    EXPECT_EQ(lamp->fill(), lamp_colour::green);

    click(button);
    EXPECT_FALSE(server().snapshot().listening);
    EXPECT_EQ(button->text(), u"Start Service"_q);
    EXPECT_EQ(lamp->fill(), lamp_colour::grey);
    EXPECT_TRUE(prompter_.errors.empty());
}

TEST_F(OperatorWindowTest, ServiceThatCannotListenIsReportedAndStaysStopped) {
    asio::io_context io;
    asio::ip::tcp::acceptor taken(io, {asio::ip::make_address("127.0.0.1"), 0});
    open_server(taken.local_endpoint().port());

    open_window();
    show_page("sysPage");
    click(find<QPushButton>("StartIt"));
    ASSERT_EQ(prompter_.errors.size(), 1u);
    EXPECT_EQ(prompter_.errors[0].caption, u"Error"_q);
    EXPECT_FALSE(server().snapshot().listening);
    EXPECT_EQ(find<QPushButton>("StartIt")->text(), u"Start Service"_q);
    EXPECT_EQ(find<Lamp>("svrButton")->fill(), lamp_colour::grey);
}

// --- the account page -------------------------------------------------------

struct NewUserCase {
    const char* what;
    friend void PrintTo(const NewUserCase& c, std::ostream* out) { *out << c.what; }
    std::vector<std::string> existing;
    int clicks;
    std::vector<std::string> expected;
};

class NewUserTest : public OperatorWindowTest, public ::testing::WithParamInterface<NewUserCase> {};

TEST_P(NewUserTest, AddsTheFirstFreeNumberAndKeepsTheSelection) {
    const NewUserCase& c = GetParam();
    for (const auto& name : c.existing) add_account(name, "pw");
    open_window();
    const int selected = c.existing.empty() ? -1 : 0;
    if (selected == 0) click_row(0);

    for (int i = 0; i < c.clicks; ++i) click(find<QPushButton>("btnNew"));

    EXPECT_EQ(account_names(), c.expected);
    QStringList expected_list;
    for (const auto& name : c.expected) expected_list << QString::fromStdString(name);
    EXPECT_EQ(listed(), expected_list);
    EXPECT_EQ(find<QListWidget>("liAccount")->currentRow(), selected);
    EXPECT_EQ(find<QLineEdit>("edUser")->text(),
              selected == 0 ? QString::fromStdString(c.existing[0]) : QString());
    EXPECT_EQ(account(c.expected.size() - 1).password, "");
}

INSTANTIATE_TEST_SUITE_P(
    Names, NewUserTest,
    ::testing::Values(
        NewUserCase{"empty_store", {}, 2, {"New User1", "New User2"}},
        NewUserCase{"after_other_accounts", {"alice"}, 2, {"alice", "New User1", "New User2"}},
        NewUserCase{"taken_in_other_case", {"NEW USER1"}, 1, {"NEW USER1", "New User2"}}),
    [](const auto& info) { return std::string(info.param.what); });

TEST_F(OperatorWindowTest, SelectingAnAccountFillsTheFields) {
    add_account("alice", "pw1");
    add_account("bob", "pw2");
    server().set_account_forbidden(server().account_list().accounts[1].ref, true, core::Save::later);
    save();
    open_window();
    auto* user = find<QLineEdit>("edUser");
    auto* password = find<QLineEdit>("edPass");
    auto* forbid = find<QCheckBox>("chkForbid");
    EXPECT_EQ(listed(), (QStringList{"alice", "bob"}));
    EXPECT_TRUE(user->text().isEmpty());
    for (QWidget* control : {static_cast<QWidget*>(user), static_cast<QWidget*>(password),
                             static_cast<QWidget*>(forbid), find<QWidget>("btnDel")}) {
        EXPECT_FALSE(control->isEnabled()) << control->objectName().toStdString();
    }

    click_row(1);
    EXPECT_EQ(user->text(), u"bob"_q);
    EXPECT_EQ(password->text(), u"pw2"_q);
    EXPECT_TRUE(forbid->isChecked());
    EXPECT_TRUE(user->isEnabled());
    EXPECT_TRUE(find<QWidget>("btnDel")->isEnabled());

    click_row(0);
    EXPECT_EQ(user->text(), u"alice"_q);
    EXPECT_EQ(password->text(), u"pw1"_q);
    EXPECT_FALSE(forbid->isChecked());
    EXPECT_FALSE(modified()) << "selecting changes nothing";
}

TEST_F(OperatorWindowTest, TypingANameRenamesTheAccount) {
    add_account("alice", "pw");
    add_account("bob", "pw");
    open_window();
    click_row(1);
    auto* user = find<QLineEdit>("edUser");

    type_over(user, "carol");
    QTest::keyClick(user, Qt::Key_Return);
    EXPECT_EQ(account_names(), (std::vector<std::string>{"alice", "carol"}));
    EXPECT_EQ(listed(), (QStringList{"alice", "carol"}));
    leave(user);
    EXPECT_EQ(user->text(), u"carol"_q);
    EXPECT_EQ(account(1).password, "pw");
}

struct RefusedNameCase {
    const char* what;
    friend void PrintTo(const RefusedNameCase& c, std::ostream* out) { *out << c.what; }
    std::vector<std::string> accounts;  // the last one is edited
    std::vector<Qt::Key> keys;          // typed at the end of its name
    QString typed;                      // then these characters
    QString shown_before_leaving;
};

class RefusedNameTest : public OperatorWindowTest,
                        public ::testing::WithParamInterface<RefusedNameCase> {};

TEST_P(RefusedNameTest, IsNotStoredAndLeavingShowsTheStoredName) {
    const RefusedNameCase& c = GetParam();
    for (const auto& name : c.accounts) add_account(name, "pw");
    save();
    const int edited = int(c.accounts.size()) - 1;
    const QString stored = QString::fromStdString(c.accounts.back());
    open_window();
    click_row(edited);
    auto* user = find<QLineEdit>("edUser");
    user->setFocus(Qt::OtherFocusReason);
    user->end(false);

    for (Qt::Key key : c.keys) QTest::keyClick(user, key);
    QTest::keyClicks(user, c.typed);
    ASSERT_EQ(user->text(), c.shown_before_leaving) << "the field keeps what was typed";
    EXPECT_EQ(account_names(), c.accounts) << "the store keeps the old name";
    EXPECT_EQ(listed().value(edited), stored);
    EXPECT_FALSE(modified());

    leave(user);
    EXPECT_EQ(user->text(), stored);
    EXPECT_EQ(account_names(), c.accounts);

    // The account can still be renamed afterwards.
    type_over(user, "zed");
    QTest::keyClick(user, Qt::Key_Return);
    EXPECT_EQ(account_names().back(), "zed");
}

INSTANTIATE_TEST_SUITE_P(
    Names, RefusedNameTest,
    ::testing::Values(
        RefusedNameCase{"duplicate", {"alice", "alice2"}, {Qt::Key_Backspace}, "", "alice"},
        RefusedNameCase{
            "duplicate_in_other_case", {"ALICE", "alice2"}, {Qt::Key_Backspace}, "", "alice"},
        RefusedNameCase{"empty", {"a"}, {Qt::Key_Backspace}, "", ""},
        RefusedNameCase{"not_a_folder_name", {"alice"}, {}, "/", "alice/"}),
    [](const auto& info) { return std::string(info.param.what); });

// On the way to a name the store refuses, no half-typed name may be stored:
// the account would keep it and could no longer log on with its old name.
TEST_F(OperatorWindowTest, NameIsStoredOnlyWhenEditingIsFinished) {
    add_account("carol", "pw");
    add_account("dave", "pw");
    save();
    open_window();
    click_row(1);
    auto* user = find<QLineEdit>("edUser");
    user->setFocus(Qt::OtherFocusReason);

    type_over(user, "CAROL");
    EXPECT_EQ(account_names(), (std::vector<std::string>{"carol", "dave"})) << "no prefix is stored";
    EXPECT_FALSE(modified());

    QTest::keyClick(user, Qt::Key_Return);
    EXPECT_EQ(account_names(), (std::vector<std::string>{"carol", "dave"})) << "carol is taken";
    EXPECT_EQ(user->text(), u"CAROL"_q) << "kept to be corrected";
    EXPECT_FALSE(user->styleSheet().isEmpty()) << "shown as refused";

    type_over(user, "erin");
    EXPECT_EQ(account_names(), (std::vector<std::string>{"carol", "dave"}));
    leave(user);
    EXPECT_EQ(account_names(), (std::vector<std::string>{"carol", "erin"}));
    EXPECT_EQ(listed(), (QStringList{"carol", "erin"}));
    EXPECT_TRUE(user->styleSheet().isEmpty());
    EXPECT_EQ(account(1).password, "pw");
}

// The list hears of accounts added elsewhere (a client, the command line)
// as they come, without the status timer.
TEST_F(OperatorWindowTest, ListFollowsAccountsAddedElsewhere) {
    add_account("alice", "pw");
    open_window();
    click_row(0);
    ASSERT_EQ(listed(), QStringList{"alice"});

    ASSERT_EQ(run_ctl(server(), {"user", "add", "bob", "pw"}).status, 0);
    EXPECT_TRUE(eventually([&] { return listed() == QStringList{"alice", "bob"}; }, 500))
        << listed().join(',').toStdString();
    EXPECT_EQ(find<QListWidget>("liAccount")->currentRow(), 0) << "the selection stays on alice";
    EXPECT_EQ(find<QLineEdit>("edUser")->text(), u"alice"_q);
}

TEST_F(OperatorWindowTest, PasswordAndForbidReachTheSelectedAccountOnly) {
    add_account("alice", "pw1");
    add_account("bob", "pw2");
    save();
    open_window();
    click_row(1);

    type_over(find<QLineEdit>("edPass"), "n3w");
    EXPECT_EQ(account(1).password, "n3w");
    EXPECT_EQ(account(1).name, "bob");
    EXPECT_TRUE(find<QLineEdit>("edUser")->styleSheet().isEmpty()) << "the name was not refused";

    click(find<QCheckBox>("chkForbid"));
    EXPECT_TRUE(account(1).forbidden);
    click(find<QCheckBox>("chkForbid"));
    EXPECT_FALSE(account(1).forbidden);

    EXPECT_EQ(account(0), (accounts::Account{"alice", "pw1", false}));
    EXPECT_TRUE(modified());
}

// Old clients stored names and passwords in their own code page; such bytes
// are no UTF-8 and show garbled, so an edit of one field must not write the
// garbled text of another back.
TEST_F(OperatorWindowTest, EditingOneFieldLeavesTheOtherFieldsBytesAlone) {
    const std::string name = "\xd5\xc5\xc8\xfd";      // a name in GBK
    const std::string password = "\xc3\xdc\xc2\xeb";  // a password in GBK
    add_account(name, password);
    save();
    open_window();
    click_row(0);

    click(find<QCheckBox>("chkForbid"));
    EXPECT_EQ(account(0), (accounts::Account{name, password, true}));

    type_over(find<QLineEdit>("edPass"), "n3w");
    EXPECT_EQ(account(0), (accounts::Account{name, "n3w", true}));

    leave(find<QLineEdit>("edUser"));
    EXPECT_EQ(account(0).name, name) << "leaving the name field unedited renames nothing";
    type_over(find<QLineEdit>("edUser"), "bob");
    QTest::keyClick(find<QLineEdit>("edUser"), Qt::Key_Return);
    EXPECT_EQ(account(0), (accounts::Account{"bob", "n3w", true}));
}

// A change made through the command line (`ctl user passwd`, `ctl user
// forbid`) while the window was hidden shows once it comes up again, even
// though the list of names stayed the same.
TEST_F(OperatorWindowTest, FieldsShowChangesMadeElsewhereWhenTheWindowComesUp) {
    add_account("alice", "pw1");
    save();
    open_window();
    click_row(0);
    window_->close();

    ASSERT_EQ(run_ctl(server(), {"user", "passwd", "alice", "changed"}).status, 0);
    ASSERT_EQ(run_ctl(server(), {"user", "forbid", "alice"}).status, 0);
    testing::show_active(*window_);
    EXPECT_EQ(find<QLineEdit>("edPass")->text(), u"changed"_q);
    EXPECT_TRUE(find<QCheckBox>("chkForbid")->isChecked());
}

TEST_F(OperatorWindowTest, DeleteTellsWhatStayedOnDisk) {
    add_account("alice", "pw1");
    home_.write_file("alice", "a file, not a storage folder");
    open_window();
    click_row(0);

    click(find<QPushButton>("btnDel"));
    EXPECT_TRUE(account_names().empty());
    EXPECT_EQ(home_.read_file("alice"), "a file, not a storage folder");
    ASSERT_EQ(prompter_.errors.size(), 1u);
    EXPECT_EQ(prompter_.errors[0].text,
              u"alice: what has its name is no folder and was left alone"_q);
}

TEST_F(OperatorWindowTest, DeleteRemovesTheAccountAndItsFolder) {
    add_account("alice", "pw1");
    add_account("bob", "pw2");
    home_.make_dir("alice/game/1");
    home_.write_file("alice/game/1/SAVE.DAT", "alice's");
    home_.make_dir("bob/game/1");
    home_.write_file("bob/game/1/SAVE.DAT", "bob's");
    open_window();
    click_row(0);

    click(find<QPushButton>("btnDel"));
    EXPECT_EQ(account_names(), std::vector<std::string>{"bob"});
    EXPECT_EQ(listed(), QStringList{"bob"});
    EXPECT_FALSE(fs::exists(home_.path("alice")));
    EXPECT_EQ(home_.read_file("bob/game/1/SAVE.DAT"), "bob's");

    EXPECT_EQ(find<QListWidget>("liAccount")->currentRow(), -1);
    for (const char* name : {"edUser", "edPass"}) {
        EXPECT_TRUE(find<QLineEdit>(name)->text().isEmpty()) << name;
        EXPECT_FALSE(find<QLineEdit>(name)->isEnabled()) << name;
    }
    EXPECT_FALSE(find<QCheckBox>("chkForbid")->isChecked());
    EXPECT_FALSE(find<QPushButton>("btnDel")->isEnabled());
    EXPECT_EQ(account(0).password, "pw2") << "the remaining account is untouched";
}

// --- purge ------------------------------------------------------------------

// Holds the first file removal after arm() until release(), so that a job
// can be watched while it runs.
class GatedEnv final : public platform::testing::EnvWrapper {
public:
    GatedEnv() : EnvWrapper(platform::Env::host()) {}

    std::error_code remove_file(const std::string& path) override {
        gate.pass();
        return EnvWrapper::remove_file(path);
    }

    platform::testing::Gate gate;
};

class PurgeTest : public OperatorWindowTest {
protected:
    void SetUp() override {
        OperatorWindowTest::SetUp();
        add_account("alice", "pw");
        save();
        slot("alice/game/1", std::chrono::hours(24 * 400));
        slot("alice/game/2", std::chrono::hours(0));
        slot("alice/game/3", std::chrono::hours(24 * 100));  // kept only by the half year
    }
    void slot(const std::string& folder, std::chrono::hours age) {
        home_.make_dir(folder);
        home_.write_file(folder + "/SAVE.DAT", "save");
        home_.write_file(folder + "/DOCDATE.SYN");
        fs::last_write_time(home_.path(folder + "/DOCDATE.SYN"),
                            fs::file_time_type::clock::now() - age);
    }
};

TEST_F(PurgeTest, FilesThatCannotBeDeletedAreReported) {
    auto owned = std::make_unique<platform::testing::FaultyEnv>(platform::Env::host());
    platform::testing::FaultyEnv& disk = *owned;
    open_server(0, std::move(owned));
    open_window();
    show_page("sysPage");
    find<QComboBox>("ComboBox1")->setCurrentIndex(2);  // older than 30 days
    disk.fail_at(1, EACCES, platform::testing::FaultyEnv::Mode::persistent,
                 platform::testing::FaultyEnv::kRemove);

    click(find<QPushButton>("Button2"));
    ASSERT_TRUE(eventually([&] { return find<QLabel>("Label3")->text() == u"Deleted!"_q; }));
    EXPECT_TRUE(fs::exists(home_.path("alice/game/1/SAVE.DAT")));
    ASSERT_EQ(prompter_.errors.size(), 1u) << "nothing deleted is not reported as done";
    EXPECT_EQ(prompter_.errors[0].caption, u"Error"_q);
    EXPECT_TRUE(prompter_.errors[0].text.startsWith(u"4 files could not be deleted"_q))
        << prompter_.errors[0].text.toStdString();
}

TEST_F(PurgeTest, WithoutAnAgeChosenIsRefused) {
    open_window();
    show_page("sysPage");
    ASSERT_EQ(find<QComboBox>("ComboBox1")->currentIndex(), -1);

    click(find<QPushButton>("Button2"));
    EXPECT_EQ(prompter_.errors,
              (std::vector<Message>{{"Error", "Please Select Unwanted Save File"}}));
    EXPECT_FALSE(window_->job_running());
    EXPECT_TRUE(fs::exists(home_.path("alice/game/1/SAVE.DAT")));
    EXPECT_TRUE(fs::exists(home_.path("alice/game/2/SAVE.DAT")));
}

TEST_F(PurgeTest, DeletesOldSlotsWhileTheWindowStaysResponsive) {
    auto owned = std::make_unique<GatedEnv>();
    GatedEnv& disk = *owned;
    open_server(0, std::move(owned));
    open_window();
    show_page("sysPage");
    auto* age = find<QComboBox>("ComboBox1");
    age->setCurrentIndex(age->findText("Delete > 6 months Files"));
    ASSERT_EQ(age->currentIndex(), 0);
    auto* purge = find<QPushButton>("Button2");
    auto* status = find<QLabel>("Label3");
    disk.gate.arm();

    click(purge);
    ASSERT_TRUE(eventually([&] { return disk.gate.holding(); }))
        << "the purge never reached the old slot";
    EXPECT_NE(disk.gate.held_thread(), std::this_thread::get_id())
        << "the purge runs off the GUI thread";
    EXPECT_TRUE(window_->job_running());
    EXPECT_FALSE(purge->isEnabled());
    EXPECT_EQ(status->text(), u"Searching..."_q);
    // Meanwhile the window and the server go on serving the operator.
    QTest::mouseClick(window_->pages()->tabBar(), Qt::LeftButton, {},
                      window_->pages()->tabBar()->tabRect(0).center());
    EXPECT_EQ(window_->pages()->currentIndex(), 0);
    show_page("sysPage");
    type_over(find<QSpinBox>("edTBandW"), "42");
    QTest::keyClick(find<QSpinBox>("edTBandW"), Qt::Key_Return);
    EXPECT_EQ(settings().bandwidth, 42);
    EXPECT_TRUE(window_->job_running());

    disk.gate.release();
    ASSERT_TRUE(eventually([&] { return status->text() == "Deleted!"; }))
        << status->text().toStdString();
    EXPECT_FALSE(window_->job_running());
    EXPECT_TRUE(purge->isEnabled());
    EXPECT_FALSE(fs::exists(home_.path("alice/game/1")));
    EXPECT_EQ(home_.read_file("alice/game/2/SAVE.DAT"), "save");
    EXPECT_EQ(home_.read_file("alice/game/3/SAVE.DAT"), "save");
    EXPECT_TRUE(prompter_.errors.empty());
}

// --- closing ----------------------------------------------------------------

struct CloseCase {
    const char* what;
    friend void PrintTo(const CloseCase& c, std::ostream* out) { *out << c.what; }
    void (*close)(OperatorWindow&);
};

class CloseTest : public OperatorWindowTest, public ::testing::WithParamInterface<CloseCase> {};

TEST_P(CloseTest, HidesTheWindowAndSavesTheChanges) {
    save();
    open_window();
    show_page("sysPage");
    // Typed but not entered yet: closing enters it.
    type_over(find<QSpinBox>("edTBandW"), "77");
    ASSERT_EQ(settings().bandwidth, 0);

    GetParam().close(*window_);
    EXPECT_TRUE(eventually([&] { return !window_->isVisible(); }));
    EXPECT_FALSE(modified());
    EXPECT_EQ(settings_on_disk().bandwidth, 77);
    EXPECT_TRUE(prompter_.questions.empty()) << "with a tray, closing only hides";
}

INSTANTIATE_TEST_SUITE_P(
    Ways, CloseTest,
    ::testing::Values(CloseCase{"close", [](OperatorWindow& w) { w.close(); }},
                      CloseCase{"hide_button",
                                [](OperatorWindow& w) { click(child<QPushButton>(w, "ExitBtn")); }},
                      CloseCase{"escape",
                                [](OperatorWindow& w) { QTest::keyClick(&w, Qt::Key_Escape); }}),
    [](const auto& info) { return std::string(info.param.what); });

TEST_F(OperatorWindowTest, ClosingKeepsTheServiceRunning) {
    ASSERT_FALSE(server().start_service());
    open_window();
    window_->close();
    EXPECT_FALSE(window_->isVisible());
    EXPECT_TRUE(server().snapshot().listening);
}

// --- the activity lamp ------------------------------------------------------

TEST_F(OperatorWindowTest, ActivityLampShowsTheConnections) {
    ASSERT_FALSE(server().start_service());
    open_window();
    auto* lamp = find<Lamp>("staButton");
    window_->refresh_status();
    EXPECT_EQ(lamp->toolTip(), u"Idle"_q);
    EXPECT_EQ(lamp->fill(), lamp_colour::grey);

    asio::io_context io;
    asio::ip::tcp::socket client(io);
    client.connect(*server().endpoint());
    ASSERT_TRUE(eventually([&] { return server().snapshot().connections == 1; }));
    window_->refresh_status();
    EXPECT_EQ(lamp->toolTip(), u"Connections: 1"_q);
    EXPECT_EQ(lamp->fill(), lamp_colour::blue);

    client.close();
    ASSERT_TRUE(eventually([&] { return server().snapshot().connections == 0; }));
    window_->refresh_status();
    EXPECT_EQ(lamp->toolTip(), u"Idle"_q);
    EXPECT_EQ(lamp->fill(), lamp_colour::grey);
}

// --- conversion of the old version's saves ----------------------------------

class ConversionOfferTest : public OperatorWindowTest {
protected:
    void SetUp() override {
        home_.write_file("UserInfo.dat", accounts::testing::legacy_user_record("alice", "pw"));
        OperatorWindowTest::SetUp();
        ASSERT_TRUE(pending());
    }
    bool pending() {
        return server().convert_pending();
    }
    // Shows the window; the offer comes right after, and may hide it again.
    void show_window() {
        window_ = make_window(english_);
        window_->show();
    }
    const QString converted_ = QString::fromUtf8("转换完毕！");
};

TEST_F(ConversionOfferTest, AcceptedOfferConvertsTheSaves) {
    prompter_.answers = {true};
    show_window();
    auto* status = find<QLabel>("Label3");
    ASSERT_TRUE(eventually([&] { return status->text() == converted_ && !window_->job_running(); }))
        << status->text().toStdString();
    ASSERT_EQ(prompter_.questions.size(), 1u);
    EXPECT_EQ(prompter_.questions[0].caption, QString::fromUtf8("警告"));
    EXPECT_FALSE(pending());
    EXPECT_EQ(window_->pages()->currentWidget(), find<QWidget>("sysPage"));
    EXPECT_TRUE(window_->isVisible());
    EXPECT_FALSE(fs::exists(home_.path("UserInfo.dat")));
    EXPECT_EQ(account_names(), std::vector<std::string>{"alice"});
    EXPECT_TRUE(prompter_.errors.empty());

    // Once converted, showing the window again asks nothing.
    window_->close();
    window_->show();
    testing::settle();
    EXPECT_EQ(prompter_.questions.size(), 1u);
}

TEST_F(ConversionOfferTest, FailedConversionIsReportedAndStaysPending) {
    home_.make_dir("alice/game");
    home_.write_file("alice/game/SV1.DAT", "not a container");
    prompter_.answers = {true};
    show_window();
    const QString failed = QString::fromUtf8("转换失败！");
    auto* status = find<QLabel>("Label3");
    ASSERT_TRUE(eventually([&] { return !prompter_.errors.empty() && !window_->job_running(); }));
    EXPECT_EQ(status->text(), failed);
    ASSERT_EQ(prompter_.errors.size(), 1u);
    EXPECT_EQ(prompter_.errors[0].caption, QString::fromUtf8("错误"));
    EXPECT_TRUE(prompter_.errors[0].text.startsWith(failed));
    EXPECT_TRUE(prompter_.errors[0].text.contains("SV1.DAT")) << "the report names the container";
    EXPECT_TRUE(pending()) << "clients stay on hold";
    EXPECT_TRUE(fs::exists(home_.path("UserInfo.dat")));
    EXPECT_EQ(home_.read_file("alice/game/SV1.DAT"), "not a container");
}

TEST_F(ConversionOfferTest, DeclinedOfferHidesTheWindowAndAsksAgainNextTime) {
    prompter_.answers = {false};
    show_window();
    ASSERT_TRUE(eventually([&] { return !window_->isVisible(); }));
    EXPECT_EQ(prompter_.questions.size(), 1u);
    EXPECT_TRUE(pending());
    EXPECT_TRUE(fs::exists(home_.path("UserInfo.dat")));
    EXPECT_TRUE(find<QLabel>("Label3")->text().isEmpty());

    prompter_.answers = {false};
    window_->show();
    ASSERT_TRUE(eventually([&] { return prompter_.questions.size() == 2; }));
    EXPECT_TRUE(eventually([&] { return !window_->isVisible(); }));
}

TEST_F(ConversionOfferTest, DeclinedOfferKeepsAWindowWithoutTrayOpen) {
    prompter_.answers = {false};
    window_ = make_window(english_);
    window_->set_close_offers_exit(true);
    window_->show();
    ASSERT_TRUE(eventually([&] { return prompter_.questions.size() == 1; }));
    testing::settle();
    EXPECT_TRUE(window_->isVisible()) << "without a tray the window cannot be found again";
    EXPECT_TRUE(pending());
}

// --- the About window -------------------------------------------------------

TEST_F(OperatorWindowTest, AboutShowsTheVersionAndCloses) {
    open_window();
    QStringList texts;
    ModalScript about([&](QDialog& dialog) {
        for (const QLabel* label : dialog.findChildren<QLabel*>()) texts << label->text();
        click(testing::dialog_button(dialog, QDialogButtonBox::AcceptRole));
    });
    click(find<QPushButton>("AboutBtn"));
    EXPECT_TRUE(about.ran());
    EXPECT_TRUE(texts.join('\n').contains(kVersionText)) << texts.join('|').toStdString();
    EXPECT_TRUE(texts.join('\n').contains(QString::fromUtf8(kWebSite)));
    EXPECT_EQ(testing::current_modal(), nullptr);
}

}  // namespace
}  // namespace rk::shell
