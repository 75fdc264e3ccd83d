// Quorvel: the desktop window that reads and upgrades the firmware of
// converter chips on USB and behind external displays.
#include <cstdlib>
#include <memory>

#include <QApplication>

#include "app/AppDelegate.h"
#include "app/Interaction.h"
#include "app/ViewController.h"
#include "model/UpgradeGuard.h"
#include "usb/HotplugSource.h"

using namespace quorvel;

int main(int argc, char** argv) {
    // The engines write progress lines on standard output; a terminal or a
    // pipe that went away must not end the window in the middle of a flash.
    ignoreClosedPipes();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quorvel"));
    QApplication::setApplicationVersion(QStringLiteral("1.3.1"));
    QApplication::setDesktopFileName(QStringLiteral("io.github.quorvel.Quorvel"));
    QApplication::setQuitOnLastWindowClosed(AppDelegate::applicationShouldTerminateAfterLastWindowClosed());

    auto alerts = std::make_shared<QtAlertSink>(std::make_shared<MessageBoxAlertPresenter>());
    auto previousSink = setAlertSink(alerts);

    int status = 0;
    {
        // The window subscribes to the watchers' news before they start, so
        // that devices already attached are announced to it.
        ViewController window;
        AppDelegate delegate;
        delegate.connectAdvancedModeItem(window.advancedModeAction());
        window.show();
        delegate.applicationDidFinishLaunching();
        // For the start-up benchmark: end once the window has been painted.
        if (const char* probe = std::getenv("QUORVEL_STARTUP_PROBE"); probe && *probe)
            QMetaObject::invokeMethod(
                &app,
                [&window] {
                    window.repaint();
                    QApplication::quit();
                },
                Qt::QueuedConnection);
        status = QApplication::exec();
        delegate.applicationWillTerminate();
    }
    alerts->close();
    setAlertSink(previousSink);
    // The watchers are gone; now USB can be released.
    shutdownDefaultHotplugSource();
    return status;
}
