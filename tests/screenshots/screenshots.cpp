// Renders the operator shell for a person to look at: the tray menu, both
// pages of the operator window, the password windows and About, in one
// language, as PNG files. Runs on a real X display (scripts/screenshot
// starts Xvfb and a tray host), on a temporary home with a few accounts.
//
//     rkscreenshots english|simplified|traditional OUTPUT_FOLDER
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QScreen>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <string>

#include "core/server.h"
#include "platform/autostart.h"
#include "platform/env.h"
#include "shell/about_dialog.h"
#include "shell/companion.h"
#include "shell/fonts.h"
#include "shell/operator_shell.h"
#include "shell/password_dialogs.h"
#include "shell/prompter.h"
#include "shell/ui_texts.h"

namespace {

using namespace rk;

// Message boxes are not part of these pictures; nothing asks one anyway.
class SilentPrompter : public shell::Prompter {
public:
    void error(QWidget*, const QString&, const QString&) override {}
    bool ask(QWidget*, const QString&, const QString&, const QString&, const QString&) override {
        return false;
    }
};

void settle() { QTest::qWait(400); }

// The part of the screen a widget covers, with a margin, so that a
// window's shadow or a menu's border is in the picture.
bool save_area(const QRect& area, const QString& file) {
    QScreen* screen = QGuiApplication::primaryScreen();
    const QRect shot = area.adjusted(-8, -8, 8, 8).intersected(screen->geometry());
    const bool saved = screen->grabWindow(0, shot.x(), shot.y(), shot.width(), shot.height()).save(file);
    std::printf("%s %s\n", saved ? "wrote" : "could not write", qPrintable(file));
    return saved;
}

bool save_widget(QWidget& widget, const QString& file) {
    // Away from the screen's edges, so that the title bar is in the picture.
    if (widget.isWindow() && widget.parentWidget() != nullptr) widget.move(520, 160);
    widget.raise();
    widget.activateWindow();
    settle();
    return save_area(widget.frameGeometry(), file);
}

std::optional<shell::Language> language_named(const std::string& name) {
    if (name == "english") return shell::Language::english;
    if (name == "simplified") return shell::Language::simplified_chinese;
    if (name == "traditional") return shell::Language::traditional_chinese;
    return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const auto language = argc == 3 ? language_named(argv[1]) : std::nullopt;
    if (!language) {
        std::fprintf(stderr, "usage: rkscreenshots english|simplified|traditional OUTPUT_FOLDER\n");
        return 2;
    }
    const QString out = QString::fromLocal8Bit(argv[2]) + "/" + argv[1] + "-";
    QDir().mkpath(QString::fromLocal8Bit(argv[2]));
    shell::map_face_names();
    const shell::UiTexts texts(*language);

    QTemporaryDir home;
    core::Server server({.home = home.path().toStdString(), .port = 0, .address = "127.0.0.1"});
    server.open();
    // One name in the language's own script, stored as its clients send it.
    const std::string local_name =
        texts.stored(QString::fromUtf8(*language == shell::Language::english ? "José"
                                       : *language == shell::Language::simplified_chinese ? "张三"
                                                                                          : "張三"))
            .value_or("local");
    for (const std::string name : {"alice", "bob", local_name.c_str(), "dave"}) {
        server.add_account(name, "secret", core::Save::later);
    }
    server.set_account_forbidden(server.find_account("dave")->ref, true, core::Save::later);
    server.change_settings({.bandwidth = 512}, core::Save::later);

    SilentPrompter prompter;
    shell::Companion companion;
    const platform::Autostart autostart(platform::Env::host(), home.path().toStdString());
    // The tray host may still be coming up.
    const bool with_tray =
        QTest::qWaitFor([] { return QSystemTrayIcon::isSystemTrayAvailable(); }, 5000);
    if (!with_tray) std::fprintf(stderr, "rkscreenshots: no tray host on this display\n");
    shell::OperatorShell shell(server, texts, prompter, {autostart, "/usr/bin/rkserver"}, companion,
                               with_tray);
    shell.start();
    settle();

    bool ok = true;
    if (QSystemTrayIcon* tray = shell.tray_icon()) {
        const QRect icon = tray->geometry();
        shell.tray_menu().popup(icon.bottomLeft() + QPoint(-120, 4));
        settle();
        ok &= save_area(icon.united(shell.tray_menu().geometry()), out + "tray-menu.png");
        shell.tray_menu().hide();
    }

    auto& window = shell.window();
    if (!window.isVisible()) window.show();
    window.move(40, 60);
    window.findChild<QListWidget*>("liAccount")->setCurrentRow(2);
    window.pages()->setCurrentIndex(0);
    ok &= save_widget(window, out + "accounts.png");
    window.findChild<QComboBox*>("ComboBox1")->setCurrentIndex(0);
    window.pages()->setCurrentIndex(1);
    ok &= save_widget(window, out + "settings.png");

    auto& check = shell.password_check();
    check.password_field()->setText("secret");
    check.show();
    ok &= save_widget(check, out + "password-check.png");
    check.hide();

    auto* change = window.findChild<shell::PasswordChangeDialog*>();
    change->old_field()->setText("old");
    change->new_field()->setText("new");
    change->show();
    ok &= save_widget(*change, out + "password-change.png");
    change->hide();

    shell::AboutDialog about(texts, &window);
    about.show();
    ok &= save_widget(about, out + "about.png");
    about.hide();

    window.hide();
    server.shut_down();
    return ok && with_tray ? 0 : 1;
}
