// What the window tests share: a prompter that answers instead of a person,
// a driver for modal windows that cannot hang the run, bounded waits, and a
// server on a temporary home with the operator window over it.
// REQUIRES: GUI thread.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QPushButton>
#include <QString>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTest>
#include <QTimer>
#include <QWidget>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/server.h"
#include "platform/autostart.h"
#include "platform/env.h"
#include "shell/operator_window.h"
#include "shell/prompter.h"
#include "shell/ui_texts.h"
#include "testing/temp_dir.h"

// Readable QStrings in gtest failure messages.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace rk::shell::testing {

// A QString literal, so that a failed comparison prints both sides as text.
inline QString operator""_q(const char16_t* text, std::size_t size) {
    return QString(reinterpret_cast<const QChar*>(text), qsizetype(size));
}

struct Message {
    QString caption;
    QString text;
    bool operator==(const Message&) const = default;
};

inline void PrintTo(const Message& m, std::ostream* out) {
    *out << "{" << m.caption.toStdString() << ": " << m.text.toStdString() << "}";
}

// Records every message box and answers questions from a script; a
// question nobody scripted fails the test and is answered no.
class RecordingPrompter : public Prompter {
public:
    void error(QWidget*, const QString& caption, const QString& text) override {
        errors.push_back({caption, text});
    }
    bool ask(QWidget*, const QString& caption, const QString& text, const QString&,
             const QString&) override {
        questions.push_back({caption, text});
        if (answers.empty()) {
            ADD_FAILURE() << "unexpected question: " << text.toStdString();
            return false;
        }
        const bool answer = answers.front();
        answers.pop_front();
        return answer;
    }

    std::vector<Message> errors;
    std::vector<Message> questions;
    std::deque<bool> answers;
};

// The modal window running its exec() now, if any.
inline QDialog* current_modal() {
    if (auto* modal = qobject_cast<QDialog*>(QApplication::activeModalWidget())) return modal;
    for (QWidget* window : QApplication::topLevelWidgets()) {
        auto* dialog = qobject_cast<QDialog*>(window);
        if (dialog && dialog->isVisible() && dialog->windowModality() != Qt::NonModal)
            return dialog;
    }
    return nullptr;
}

// Acts on the next modal window from inside its exec(), or, made with
// none(), fails the test if one comes up. Either way a modal window still
// open after a few seconds is rejected and the test fails, so a lost click
// cannot hang the run. Create it before the call that opens the window.
class ModalScript {
public:
    using Act = std::function<void(QDialog&)>;

    explicit ModalScript(Act act, int limit_ms = 5000) : act_(std::move(act)) {
        QObject::connect(&poll_, &QTimer::timeout, [this] { poll(); });
        poll_.start(1);
        guard_.setSingleShot(true);
        QObject::connect(&guard_, &QTimer::timeout, [] {
            if (QDialog* dialog = current_modal()) {
                ADD_FAILURE() << "modal window \"" << dialog->windowTitle().toStdString()
                              << "\" still open; rejected";
                dialog->reject();
            }
        });
        guard_.start(limit_ms);
    }
    static std::unique_ptr<ModalScript> none() { return std::make_unique<ModalScript>(Act{}); }

    ~ModalScript() {
        if (act_ && !ran_) ADD_FAILURE() << "no modal window came up";
    }
    ModalScript(const ModalScript&) = delete;
    ModalScript& operator=(const ModalScript&) = delete;

    bool ran() const { return ran_; }

private:
    void poll() {
        QDialog* dialog = current_modal();
        if (dialog == nullptr) return;
        poll_.stop();
        ran_ = true;
        if (!act_) {
            ADD_FAILURE() << "unexpected modal window \"" << dialog->windowTitle().toStdString()
                          << "\"";
            dialog->reject();
            return;
        }
        act_(*dialog);
    }

    Act act_;
    bool ran_ = false;
    QTimer poll_;
    QTimer guard_;
};

// Waits, with the event loop running, until `condition` holds; false when
// it did not within `ms`.
template <class Condition>
bool eventually(Condition condition, int ms = 5000) {
    return QTest::qWaitFor(condition, ms);
}

// Runs whatever the event loop has queued up to now (zero-time timers
// included).
inline void settle() {
    bool reached = false;
    QTimer::singleShot(0, [&reached] { reached = true; });
    if (!QTest::qWaitFor([&reached] { return reached; }, 5000)) ADD_FAILURE() << "event loop stuck";
}

// The child `name` of `root`; a missing one ends the test with its name.
template <class T>
T* child(const QObject& root, const char* name) {
    T* found = root.findChild<T*>(QString::fromLatin1(name));
    if (found == nullptr) throw std::runtime_error(std::string("no child named ") + name);
    return found;
}

// The button of the box in `dialog` with `role` (OK: AcceptRole, Cancel: RejectRole).
inline QPushButton* dialog_button(const QDialog& dialog, QDialogButtonBox::ButtonRole role) {
    auto* box = dialog.findChild<QDialogButtonBox*>();
    if (box != nullptr) {
        for (QAbstractButton* button : box->buttons()) {
            if (box->buttonRole(button) == role) return qobject_cast<QPushButton*>(button);
        }
    }
    throw std::runtime_error("dialog has no button of that role");
}

// Clicks the widget where the operator would: a check box on its mark
// (it may stretch far beyond its text), anything else in its middle.
inline void click(QWidget* widget) {
    if (!widget->isVisible()) throw std::runtime_error("clicking a hidden widget");
    QPoint at = widget->rect().center();
    if (auto* box = qobject_cast<QCheckBox*>(widget)) {
        QStyleOptionButton option;
        option.initFrom(box);
        at = box->style()->subElementRect(QStyle::SE_CheckBoxIndicator, &option, box).center();
    }
    QTest::mouseClick(widget, Qt::LeftButton, {}, at);
}

// Shows `window` and makes it the active window, as the operator's would be.
inline void show_active(QWidget& window) {
    window.show();
    window.activateWindow();
    if (!QTest::qWaitForWindowActive(&window)) ADD_FAILURE() << "window did not become active";
}

// A server on a fresh home, stopped, with an autostart folder of its own.
class ServerFixture : public ::testing::Test {
protected:
    static constexpr const char* kProgram = "/opt/rk-test/bin/rkserver";

    void SetUp() override { open_server(); }

    // (Re)opens the server on the home as it is now; `port` 0 picks a free
    // one; `env` replaces the host's for the server's whole life.
    void open_server(std::uint16_t port = 0, std::unique_ptr<platform::Env> env = nullptr) {
        server_.reset();
        if (env) env_ = std::move(env);
        ticks_ = std::make_unique<support::ManualTickSource>();
        server_ = std::make_unique<core::Server>(core::ServerOptions{.home = home_.path(),
                                                                     .port = port,
                                                                     .address = "127.0.0.1",
                                                                     .env = env_.get(),
                                                                     .ticks = ticks_.get()});
        server_->open();
    }

    std::unique_ptr<OperatorWindow> make_window(const UiTexts& texts) {
        return std::make_unique<OperatorWindow>(*server_, texts, prompter_,
                                                AutostartTarget{autostart_, kProgram});
    }

    core::Server& server() { return *server_; }

    accounts::Settings settings() { return server_->settings(); }
    std::vector<std::string> account_names() {
        std::vector<std::string> names;
        for (const auto& view : server_->account_list().accounts) names.push_back(view.account.name);
        return names;
    }
    accounts::Account account(std::size_t index) {
        return server_->account_list().accounts.at(index).account;
    }
    bool modified() { return server_->unsaved_changes(); }
    void add_account(const std::string& name, const std::string& password = "") {
        server_->add_account(name, password, core::Save::later);
    }
    // Writes the account file, so that the store starts unmodified.
    void save() {
        const auto saved = server_->save_accounts();
        ASSERT_TRUE(saved.ok()) << saved.status.to_string();
    }
    void set_system_password(const std::string& password) {
        server_->change_settings({.system_password = password}, core::Save::later);
    }

    platform::testing::TempDir home_;
    platform::testing::TempDir config_;
    platform::Autostart autostart_{platform::Env::host(), config_.path("autostart")};
    RecordingPrompter prompter_;
    // Both outlive the server using them.
    std::unique_ptr<platform::Env> env_;
    std::unique_ptr<support::ManualTickSource> ticks_;
    std::unique_ptr<core::Server> server_;
};

}  // namespace rk::shell::testing
