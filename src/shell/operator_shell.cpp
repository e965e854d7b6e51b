#include "shell/operator_shell.h"

#include <QApplication>
#include <QRegularExpression>

namespace rk::shell {
namespace {

// A menu text as plain text: "E&xit" → "Exit", "退出程序(&X)" → "退出程序".
QString without_mnemonic(QString text) {
    text.remove(QRegularExpression(QStringLiteral("\\(&.\\)")));
    return text.remove(QLatin1Char('&'));
}

void bring_to_front(QWidget& widget) {
    widget.raise();
    widget.activateWindow();
}

}  // namespace

OperatorShell::OperatorShell(core::Server& server, const UiTexts& texts, Prompter& prompter,
                             AutostartTarget autostart, Companion& companion, bool with_tray)
    : texts_(texts),
      prompter_(prompter),
      companion_(companion),
      window_(std::make_unique<OperatorWindow>(server, texts, prompter, std::move(autostart))),
      password_check_(std::make_unique<PasswordCheckDialog>(texts, prompter)) {
    auto* show = menu_.addAction(texts(entry::show_window));
    show->setObjectName("pShow");
    connect(show, &QAction::triggered, this, &OperatorShell::show_window);
    auto* exit = menu_.addAction(texts(entry::exit));
    exit->setObjectName("pExit");
    connect(exit, &QAction::triggered, this, &OperatorShell::request_exit);

    window_->set_close_offers_exit(true);
    connect(window_.get(), &OperatorWindow::exit_offered, this, &OperatorShell::offer_exit);
    if (with_tray) add_tray();
}

void OperatorShell::add_tray() {
    if (tray_) return;
    tray_ = std::make_unique<QSystemTrayIcon>(QIcon(":/rkserver.svg"));
    tray_->setToolTip(texts_(entry::title).left(60));
    tray_->setContextMenu(&menu_);
    connect(tray_.get(), &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger) show_window();
            });
    tray_->show();
    window_->set_close_offers_exit(false);
}

OperatorShell::~OperatorShell() = default;

void OperatorShell::start() {
    window_->toggle_service();
    emit started();
    if (!tray_) {
        window_->show();
    } else if (window_->convert_pending()) {
        show_window();
    }
}

bool OperatorShell::password_accepted() {
    const std::string password = window_->system_password();
    return password.empty() || password_check_->check(password);
}

void OperatorShell::show_window() {
    if (password_check_->isVisible()) {
        bring_to_front(*password_check_);
        return;
    }
    if (window_->isVisible()) {
        if (window_->isMinimized()) window_->showNormal();
        bring_to_front(*window_);
        return;
    }
    if (!password_accepted()) return;
    window_->show();
    bring_to_front(*window_);
}

void OperatorShell::request_exit() {
    if (password_check_->isVisible()) {
        bring_to_front(*password_check_);
        return;
    }
    // Whoever sees the operator window may end the program.
    if (!window_->isVisible() && !password_accepted()) return;
    confirm_exit();
}

// Without a tray the window cannot be hidden and found again: closing it
// asks whether to end the program, behind the system password.
void OperatorShell::offer_exit() {
    const QString exit = texts_(entry::exit);
    if (!prompter_.ask(window_.get(), texts_(entry::title), without_mnemonic(exit) + "?", exit,
                       texts_(entry::cancel))) {
        return;
    }
    if (!password_accepted()) return;
    confirm_exit();
}

void OperatorShell::confirm_exit() {
    companion_.end();
    emit exit_confirmed();
}

}  // namespace rk::shell
