// The tray side of the shell: the system password in front of the window
// and the exit, the exit offered by a window without tray, the companion
// ended with a confirmed exit, and the texts of each language.
#include "shell/operator_shell.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QAction>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSignalSpy>
#include <QTabWidget>
#include <optional>
#include <string>
#include <vector>

#include "gui_support.h"
#include "shell/companion.h"
#include "shell/gui.h"
#include "shell/control.h"

extern char** environ;

namespace rk::shell {
namespace {

using testing::child;
using testing::click;
using testing::operator""_q;
using testing::eventually;
using testing::Message;
using testing::ModalScript;

// Answers the password window: each wrong password typed and confirmed
// (the window must stay open after each), then the right one confirmed, or
// Cancel when there is none.
struct PasswordAnswers {
    std::vector<std::string> wrong;
    std::optional<std::string> right;
};

void answer_password_window(QDialog& dialog, const PasswordAnswers& answers) {
    auto* check = qobject_cast<PasswordCheckDialog*>(&dialog);
    ASSERT_NE(check, nullptr) << "another window came up: " << dialog.windowTitle().toStdString();
    const auto enter = [&](const std::string& password) {
        check->password_field()->clear();
        QTest::keyClicks(check->password_field(), QString::fromStdString(password));
        click(testing::dialog_button(dialog, QDialogButtonBox::AcceptRole));
    };
    for (const auto& password : answers.wrong) {
        enter(password);
        ASSERT_TRUE(dialog.isVisible()) << "closed after the wrong password " << password;
    }
    if (answers.right) {
        enter(*answers.right);
    } else {
        click(testing::dialog_button(dialog, QDialogButtonBox::RejectRole));
    }
}

class ShellTest : public testing::ServerFixture {
protected:
    OperatorShell& make_shell(bool with_tray = false) {
        shell_ = std::make_unique<OperatorShell>(server(), english_, prompter_,
                                                 AutostartTarget{autostart_, kProgram}, companion_,
                                                 with_tray);
        exits_ = std::make_unique<QSignalSpy>(shell_.get(), &OperatorShell::exit_confirmed);
        return *shell_;
    }
    // Runs `action`, answering the password window with `answers`, or
    // expecting none when there are none.
    void with_password(const std::optional<PasswordAnswers>& answers,
                       const std::function<void()>& action) {
        std::unique_ptr<ModalScript> script =
            answers ? std::make_unique<ModalScript>(
                          [&](QDialog& dialog) { answer_password_window(dialog, *answers); })
                    : ModalScript::none();
        action();
    }
    std::vector<Message> wrong_password_errors(std::size_t count) {
        return std::vector<Message>(count, Message{"Error", "Sorry, Wrong Password."});
    }

    const UiTexts english_{Language::english};
    Companion companion_;
    std::unique_ptr<OperatorShell> shell_;
    std::unique_ptr<QSignalSpy> exits_;
};

// --- the system password in front of the window and the exit ---------------

struct GuardCase {
    const char* what;
    friend void PrintTo(const GuardCase& c, std::ostream* out) { *out << c.what; }
    std::string stored;
    enum { show, exit } action;
    bool window_up;
    std::optional<PasswordAnswers> answers;  // none: no password window may come up
    bool passes;                             // shown, or exit confirmed
};

class PasswordGuardTest : public ShellTest, public ::testing::WithParamInterface<GuardCase> {};

TEST_P(PasswordGuardTest, GuardsShowingAndExiting) {
    const GuardCase& c = GetParam();
    set_system_password(c.stored);
    OperatorShell& shell = make_shell();
    if (c.window_up) testing::show_active(shell.window());

    with_password(c.answers, [&] {
        if (c.action == GuardCase::show) {
            shell.show_window();
        } else {
            shell.request_exit();
        }
    });

    const std::size_t wrong = c.answers ? c.answers->wrong.size() : 0;
    EXPECT_EQ(prompter_.errors, wrong_password_errors(wrong));
    EXPECT_FALSE(shell.password_check().isVisible());
    if (c.action == GuardCase::show) {
        EXPECT_EQ(shell.window().isVisible(), c.passes);
        EXPECT_EQ(exits_->count(), 0);
    } else {
        EXPECT_EQ(exits_->count(), c.passes ? 1 : 0);
        EXPECT_EQ(shell.window().isVisible(), c.window_up) << "exiting neither shows nor hides";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PasswordGuardTest,
    ::testing::Values(
        GuardCase{"show_without_password", "", GuardCase::show, false, std::nullopt, true},
        GuardCase{"show_right_password", "sesame", GuardCase::show, false,
                  PasswordAnswers{{}, "sesame"}, true},
        GuardCase{"show_wrong_then_cancel", "sesame", GuardCase::show, false,
                  PasswordAnswers{{"wrong"}, {}}, false},
        GuardCase{"show_wrong_twice_then_right", "sesame", GuardCase::show, false,
                  PasswordAnswers{{"wrong", ""}, "sesame"}, true},
        GuardCase{"show_other_letter_case_is_wrong", "sesame", GuardCase::show, false,
                  PasswordAnswers{{"Sesame", "SESAME"}, {}}, false},
        GuardCase{"show_cancel", "sesame", GuardCase::show, false, PasswordAnswers{{}, {}}, false},
        GuardCase{"show_window_already_up", "sesame", GuardCase::show, true, std::nullopt, true},
        GuardCase{"exit_without_password", "", GuardCase::exit, false, std::nullopt, true},
        GuardCase{"exit_right_password", "sesame", GuardCase::exit, false,
                  PasswordAnswers{{}, "sesame"}, true},
        GuardCase{"exit_wrong_then_cancel", "sesame", GuardCase::exit, false,
                  PasswordAnswers{{"wrong"}, {}}, false},
        GuardCase{"exit_other_letter_case_is_wrong", "sesame", GuardCase::exit, false,
                  PasswordAnswers{{"SESAME"}, {}}, false},
        GuardCase{"exit_cancel", "sesame", GuardCase::exit, false, PasswordAnswers{{}, {}}, false},
        GuardCase{"exit_window_up_asks_nothing", "sesame", GuardCase::exit, true, std::nullopt,
                  true}),
    [](const auto& info) { return std::string(info.param.what); });

// A click on the tray while the password window is up brings that window
// to the front and leaves what was typed in it.
TEST_F(ShellTest, WhileThePasswordWindowIsUpTheTrayOnlyBringsItToTheFront) {
    set_system_password("sesame");
    OperatorShell& shell = make_shell();
    bool still_up = false;
    ModalScript script([&](QDialog& dialog) {
        auto* check = qobject_cast<PasswordCheckDialog*>(&dialog);
        ASSERT_NE(check, nullptr);
        QTest::keyClicks(check->password_field(), "sesame");
        shell.show_window();
        shell.request_exit();
        still_up = dialog.isVisible() && testing::current_modal() == &dialog;
        click(testing::dialog_button(dialog, QDialogButtonBox::AcceptRole));
    });
    shell.show_window();
    EXPECT_TRUE(script.ran());
    EXPECT_TRUE(still_up);
    EXPECT_TRUE(prompter_.errors.empty()) << "the password typed before was kept";
    EXPECT_TRUE(shell.window().isVisible());
    EXPECT_EQ(exits_->count(), 0) << "the Exit while the password window was up did nothing";
}

TEST_F(ShellTest, TrayMenuActionsShowAndExit) {
    OperatorShell& shell = make_shell();
    auto* show = child<QAction>(shell.tray_menu(), "pShow");
    auto* exit = child<QAction>(shell.tray_menu(), "pExit");
    EXPECT_EQ(shell.tray_menu().actions(), (QList<QAction*>{show, exit}));

    with_password(std::nullopt, [&] { show->trigger(); });
    EXPECT_TRUE(shell.window().isVisible());
    with_password(std::nullopt, [&] { exit->trigger(); });
    EXPECT_EQ(exits_->count(), 1);
}

// --- closing a window that stands in for the tray ---------------------------

struct OfferCase {
    const char* what;
    friend void PrintTo(const OfferCase& c, std::ostream* out) { *out << c.what; }
    std::string stored;
    bool answer;
    std::optional<PasswordAnswers> answers;
    bool exits;
};

class ExitOfferTest : public ShellTest, public ::testing::WithParamInterface<OfferCase> {};

TEST_P(ExitOfferTest, ClosingTheWindowOffersToExit) {
    const OfferCase& c = GetParam();
    set_system_password(c.stored);
    OperatorShell& shell = make_shell(false);
    testing::show_active(shell.window());
    prompter_.answers = {c.answer};

    with_password(c.answers, [&] { shell.window().close(); });

    ASSERT_EQ(prompter_.questions.size(), 1u);
    EXPECT_EQ(prompter_.questions[0], (Message{"rkServer 2.23 (Server)", "Exit?"}));
    EXPECT_EQ(exits_->count(), c.exits ? 1 : 0);
    EXPECT_TRUE(shell.window().isVisible()) << "the window stays until the program ends";
    EXPECT_FALSE(modified()) << "closing saves whatever the answer";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ExitOfferTest,
    ::testing::Values(OfferCase{"declined", "", false, std::nullopt, false},
                      OfferCase{"declined_asks_no_password", "sesame", false, std::nullopt, false},
                      OfferCase{"accepted_without_password", "", true, std::nullopt, true},
                      OfferCase{"accepted_right_password", "sesame", true,
                                PasswordAnswers{{}, "sesame"}, true},
                      OfferCase{"accepted_wrong_then_cancel", "sesame", true,
                                PasswordAnswers{{"nope"}, {}}, false}),
    [](const auto& info) { return std::string(info.param.what); });

TEST_F(ShellTest, StartWithoutTrayStartsTheServiceAndShowsTheWindow) {
    OperatorShell& shell = make_shell(false);
    with_password(std::nullopt, [&] { shell.start(); });
    EXPECT_TRUE(server().snapshot().listening);
    EXPECT_TRUE(shell.window().isVisible());
    EXPECT_EQ(child<QPushButton>(shell.window(), "StartIt")->text(), u"Stop service"_q);
}

// --- the companion program --------------------------------------------------

// A child process that sleeps; killed and reaped at the end if still there.
class SleepingChild {
public:
    SleepingChild() {
        char sleep[] = "sleep";
        char seconds[] = "30";
        char* argv[] = {sleep, seconds, nullptr};
        if (::posix_spawnp(&pid_, "sleep", nullptr, nullptr, argv, environ) != 0) pid_ = -1;
    }
    ~SleepingChild() {
        if (pid_ > 0 && !status_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    SleepingChild(const SleepingChild&) = delete;
    SleepingChild& operator=(const SleepingChild&) = delete;

    int pid() const { return pid_; }
    // Whether it has ended, reaping it if so.
    bool ended() {
        if (status_) return true;
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) status_ = status;
        return status_.has_value();
    }
    bool ended_by(int signal) {
        return ended() && WIFSIGNALED(*status_) && WTERMSIG(*status_) == signal;
    }

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
};

struct CompanionCase {
    const char* what;
    friend void PrintTo(const CompanionCase& c, std::ostream* out) { *out << c.what; }
    std::string stored;
    bool forgotten;  // "companion 0" after the announcement
    std::optional<PasswordAnswers> answers;
    bool ends;
};

class CompanionTest : public ShellTest, public ::testing::WithParamInterface<CompanionCase> {};

TEST_P(CompanionTest, EndsOnlyWithAConfirmedExit) {
    const CompanionCase& c = GetParam();
    set_system_password(c.stored);
    OperatorShell& shell = make_shell(true);
    SleepingChild companion;
    ASSERT_GT(companion.pid(), 0);

    const CtlResult announced =
        run_ctl(server(), {"companion", std::to_string(companion.pid())}, &companion_);
    ASSERT_EQ(announced.status, 0) << announced.output;
    EXPECT_TRUE(companion_.announced());
    if (c.forgotten) {
        const CtlResult forgot = run_ctl(server(), {"companion", "0"}, &companion_);
        ASSERT_EQ(forgot.status, 0) << forgot.output;
        EXPECT_FALSE(companion_.announced());
    }

    with_password(c.answers, [&] { shell.request_exit(); });

    if (c.ends) {
        ASSERT_TRUE(eventually([&] { return companion.ended(); })) << "still running";
        EXPECT_TRUE(companion.ended_by(SIGTERM));
    } else {
        testing::settle();
        EXPECT_FALSE(companion.ended()) << "ended without a confirmed exit";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CompanionTest,
    ::testing::Values(CompanionCase{"confirmed_exit", "", false, std::nullopt, true},
                      CompanionCase{"confirmed_with_password", "sesame", false,
                                    PasswordAnswers{{}, "sesame"}, true},
                      CompanionCase{"wrong_password_then_cancel", "sesame", false,
                                    PasswordAnswers{{"x"}, {}}, false},
                      CompanionCase{"cancelled", "sesame", false, PasswordAnswers{{}, {}}, false},
                      CompanionCase{"forgotten", "", true, std::nullopt, false}),
    [](const auto& info) { return std::string(info.param.what); });

TEST_F(ShellTest, CompanionIsRefusedWithoutATrayToEndItFrom) {
    SleepingChild companion;
    ASSERT_GT(companion.pid(), 0);
    const CtlResult result = run_ctl(server(), {"companion", std::to_string(companion.pid())});
    EXPECT_NE(result.status, 0);
    EXPECT_FALSE(result.output.empty());
}

TEST_F(ShellTest, AnIdOfNoProcessKeepsTheCompanionKnown) {
    SleepingChild companion;
    ASSERT_GT(companion.pid(), 0);
    ASSERT_EQ(run_ctl(server(), {"companion", std::to_string(companion.pid())}, &companion_).status, 0);
    SleepingChild gone;
    const std::string gone_pid = std::to_string(gone.pid());
    ::kill(gone.pid(), SIGKILL);
    ASSERT_TRUE(eventually([&] { return gone.ended(); }));

    EXPECT_NE(run_ctl(server(), {"companion", gone_pid}, &companion_).status, 0);
    EXPECT_TRUE(companion_.announced());
    OperatorShell& shell = make_shell(true);
    shell.request_exit();
    EXPECT_TRUE(eventually([&] { return companion.ended(); })) << "the first companion was lost";
}

// A session's panel often comes up after the programs the session starts:
// the window that stood in for the tray then hides on close like any other.
TEST_F(ShellTest, ATrayThatAppearsLaterTakesOver) {
    OperatorShell& shell = make_shell(false);
    with_password(std::nullopt, [&] { shell.start(); });
    ASSERT_TRUE(shell.window().isVisible());

    shell.add_tray();
    ASSERT_NE(shell.tray_icon(), nullptr);
    shell.window().close();
    EXPECT_FALSE(shell.window().isVisible());
    EXPECT_TRUE(prompter_.questions.empty()) << "with a tray, closing only hides";
    EXPECT_EQ(exits_->count(), 0);
}

// Windows come only where Qt can show them: a platform without a screen,
// or an X display that answers. Anything else runs headless rather than
// ending in Qt before the server starts.
TEST(WindowsPossible, NeedAScreenlessPlatformOrADisplayThatAnswers) {
    struct Case {
        const char* what;
        bool headless;
        const char* platform;  // QT_QPA_PLATFORM; null: unset
        const char* display;   // DISPLAY; null: unset
        bool windows;
    };
    const Case cases[] = {
        {"offscreen", false, "offscreen", nullptr, true},
        {"offscreen but --headless", true, "offscreen", nullptr, false},
        {"nothing set", false, nullptr, nullptr, false},
        {"a display nobody serves", false, nullptr, ":4093", false},
        {"wayland asked, no display", false, "wayland", nullptr, false},
        {"xcb asked, no display", false, "xcb", nullptr, false},
    };
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    const QByteArray display = qgetenv("DISPLAY");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.platform ? qputenv("QT_QPA_PLATFORM", c.platform) : qunsetenv("QT_QPA_PLATFORM");
        c.display ? qputenv("DISPLAY", c.display) : qunsetenv("DISPLAY");
        EXPECT_EQ(windows_possible(c.headless), c.windows);
    }
    qputenv("QT_QPA_PLATFORM", platform);
    display.isNull() ? qunsetenv("DISPLAY") : qputenv("DISPLAY", display);
}

// --- languages ----------------------------------------------------------------

struct LanguageCase {
    const char* what;
    friend void PrintTo(const LanguageCase& c, std::ostream* out) { *out << c.what; }
    Language language;
    const char* start_service;
    const char* accounts_tab;
    const char* settings_tab;
    const char* show_action;
    const char* exit_action;
    const char* password_caption;
    const char* exit_question;  // asked when a window without tray is closed
    bool conversion_button;
};

class LanguageTest : public ShellTest, public ::testing::WithParamInterface<LanguageCase> {};

TEST_P(LanguageTest, WindowsShowTheTextsOfTheLanguage) {
    const LanguageCase& c = GetParam();
    const UiTexts texts(c.language);
    OperatorShell shell(server(), texts, prompter_, AutostartTarget{autostart_, kProgram},
                        companion_, false);
    OperatorWindow& window = shell.window();
    const auto* pages = child<QTabWidget>(window, "PageCon");

    EXPECT_EQ(child<QPushButton>(window, "StartIt")->text(), QString::fromUtf8(c.start_service));
    EXPECT_EQ(pages->tabText(0), QString::fromUtf8(c.accounts_tab));
    EXPECT_EQ(pages->tabText(1), QString::fromUtf8(c.settings_tab));
    EXPECT_EQ(child<QAction>(shell.tray_menu(), "pShow")->text(), QString::fromUtf8(c.show_action));
    EXPECT_EQ(child<QAction>(shell.tray_menu(), "pExit")->text(), QString::fromUtf8(c.exit_action));
    EXPECT_EQ(shell.password_check().windowTitle(), QString::fromUtf8(c.password_caption));
    EXPECT_EQ(child<QWidget>(window, "Button1")->isVisibleTo(child<QWidget>(window, "sysPage")),
              c.conversion_button);

    prompter_.answers = {false};
    window.show();
    window.close();
    ASSERT_EQ(prompter_.questions.size(), 1u);
    EXPECT_EQ(prompter_.questions[0].text, QString::fromUtf8(c.exit_question));
}

INSTANTIATE_TEST_SUITE_P(
    Languages, LanguageTest,
    ::testing::Values(LanguageCase{"simplified", Language::simplified_chinese, "启动服务",
                                   "用户管理", "系统设置", "显示主窗口(&S)", "退出程序(&X)",
                                   "请输入密码", "退出程序?", true},
                      LanguageCase{"traditional", Language::traditional_chinese, "啟動服務",
                                   "用戶管理", "系統設置", "顯示主窗口(&S)", "退出程序(&X)",
                                   "請輸入密碼", "退出程序?", false},
                      LanguageCase{"english", Language::english, "Start Service", "User Management",
                                   "System Config", "&Show window", "E&xit",
                                   "Please Input Password", "Exit?", false}),
    [](const auto& info) { return std::string(info.param.what); });

}  // namespace
}  // namespace rk::shell
