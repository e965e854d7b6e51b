// The window tests need a QApplication for their whole run; without a
// display they draw off screen.
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>

namespace {

QtMessageHandler qt_handler = nullptr;

// The off-screen platform tells of every window operation it cannot carry
// out (raise, size hints); that is no news to these tests.
void quieter(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (type == QtWarningMsg && message.startsWith(QLatin1String("This plugin does not support")))
        return;
    qt_handler(type, context, message);
}

}  // namespace

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    qt_handler = qInstallMessageHandler(quieter);
    QApplication app(argc, argv);
    // The operator window only hides when closed; a test that closes the
    // last window must not end the application under the next one.
    QApplication::setQuitOnLastWindowClosed(false);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
