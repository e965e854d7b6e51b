#include "shell/gui.h"

#include <QApplication>
#include <QSystemTrayIcon>
#include <QTimer>
#include <spdlog/spdlog.h>

#include <atomic>
#include <csignal>
#include <optional>
#include <thread>

#include "platform/autostart.h"
#include "platform/env.h"
#include "platform/input.h"
#include "shell/companion.h"
#include "shell/control.h"
#include "shell/fonts.h"
#include "shell/headless.h"
#include "shell/language.h"
#include "shell/operator_shell.h"
#include "shell/prompter.h"
#include "shell/ui_texts.h"

namespace rk::shell {
namespace {

// Qt's platforms that need no screen. Any other is taken as X, so that a
// setting for a desktop that is not there cannot end the program before it
// starts.
bool screenless_platform_chosen(platform::Env& env) {
    const std::string platform = env.get_env("QT_QPA_PLATFORM").value_or("");
    return platform == "offscreen" || platform == "minimal";
}

}  // namespace

bool windows_possible(bool headless_asked) {
    if (headless_asked) return false;
    platform::Env& env = platform::Env::host();
    if (screenless_platform_chosen(env)) return true;
    return platform::display_reachable(env.get_env("DISPLAY").value_or(""));
}

int run_gui(core::Server& server, const std::string& home, platform::StopSignals& stop_signals,
            int argc, char** argv) {
    platform::Env& env = platform::Env::host();
    if (!screenless_platform_chosen(env)) qputenv("QT_QPA_PLATFORM", "xcb");
    QApplication app(argc, argv);
    app.setApplicationName("rkserver");
    app.setDesktopFileName("rkserver");
    app.setWindowIcon(QIcon(":/rkserver.svg"));
    // The operator window only hides; the tray's Exit ends the program.
    app.setQuitOnLastWindowClosed(false);

    open_and_report(server);
    const UiTexts texts(select_language(server.lang_index(), active_locale(env)));
    map_face_names();

    const bool with_tray = QSystemTrayIcon::isSystemTrayAvailable();
    MessageBoxPrompter prompter;
    Companion companion;
    const platform::Autostart autostart(env);
    OperatorShell shell(server, texts, prompter, {autostart, platform::executable_path()},
                        companion, with_tray);
    // exit(), not quit(): quit() asks every window to close first, and the
    // operator window without a tray answers a close with a question.
    const auto leave_loop = [] { QCoreApplication::exit(0); };
    QObject::connect(&shell, &OperatorShell::exit_confirmed, &app, leave_loop);
    QObject::connect(&shell, &OperatorShell::started, &app, [&] { announce_listening(server); });

    // Without a notification area the operator window stands in for the
    // tray, until one appears.
    QTimer tray_watch;
    if (!with_tray) {
        spdlog::info("no notification area: the operator window stands in for the tray");
        QObject::connect(&tray_watch, &QTimer::timeout, &app, [&] {
            if (!QSystemTrayIcon::isSystemTrayAvailable()) return;
            spdlog::info("a notification area appeared: the icon is there now");
            shell.add_tray();
            tray_watch.stop();
        });
        tray_watch.start(2000);
    }

    // SIGINT and SIGTERM end the program as the tray's Exit does, without
    // asking anything.
    std::atomic<int> stop_signal = 0;
    std::thread signal_waiter([&] {
        stop_signal = stop_signals.wait();
        QMetaObject::invokeMethod(&app, leave_loop, Qt::QueuedConnection);
    });
    {
        ControlServer control(server, home, &companion);
        control.start();
        QTimer::singleShot(0, &shell, [&] { shell.start(); });
        app.exec();
        // A purge or conversion asked for through ctl ends before the control
        // thread does; then no command reaches the server any more, so none
        // can start a job or announce a companion that the exit would miss.
        server.stop_jobs();
    }
    if (stop_signal == 0) {
        platform::StopSignals::wake(signal_waiter);
    } else {
        spdlog::info("stopping on {}", stop_signal == SIGINT ? "SIGINT" : "SIGTERM");
    }
    signal_waiter.join();
    shell.window().wait_for_job();
    return shut_down_and_report(server);
}

}  // namespace rk::shell
