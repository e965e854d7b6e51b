// The way into a running server from the desktop: the tray icon with its
// two-item menu (show the operator window, exit), the system password in
// front of both, and, where the desktop has no notification area, the
// operator window itself standing in for the tray.
// REQUIRES: GUI thread.
#pragma once

#include <QMenu>
#include <QObject>
#include <QSystemTrayIcon>

#include <memory>

#include "core/server.h"
#include "shell/companion.h"
#include "shell/operator_window.h"
#include "shell/password_dialogs.h"
#include "shell/prompter.h"
#include "shell/ui_texts.h"

namespace rk::shell {

class OperatorShell : public QObject {
    Q_OBJECT
public:
    // `with_tray`: put an icon in the notification area; without it the
    // operator window is the program's face and closing it offers to exit.
    OperatorShell(core::Server& server, const UiTexts& texts, Prompter& prompter,
                  AutostartTarget autostart, Companion& companion, bool with_tray);
    ~OperatorShell() override;

    // Starts the service as the start button would (started() follows),
    // then brings up the operator window when there is no tray, or when old
    // saves await conversion.
    void start();
    // Puts the icon into a notification area that appeared after start-up
    // (a session's panel often comes up after the programs it starts); the
    // window then hides on close again.
    void add_tray();

    // The tray icon's click: the window, behind the system password when
    // one is set; only brought to the front when it or the password window
    // is up already.
    void show_window();
    // The tray menu's Exit: asks the system password unless the operator
    // window is visible; once confirmed, ends the companion and emits
    // exit_confirmed().
    void request_exit();

    OperatorWindow& window() { return *window_; }
    PasswordCheckDialog& password_check() { return *password_check_; }
    QMenu& tray_menu() { return menu_; }
    QSystemTrayIcon* tray_icon() { return tray_.get(); }

signals:
    void started();
    void exit_confirmed();

private:
    bool password_accepted();
    void offer_exit();
    void confirm_exit();

    const UiTexts& texts_;
    Prompter& prompter_;
    Companion& companion_;
    std::unique_ptr<OperatorWindow> window_;
    std::unique_ptr<PasswordCheckDialog> password_check_;
    QMenu menu_;
    std::unique_ptr<QSystemTrayIcon> tray_;
};

}  // namespace rk::shell
