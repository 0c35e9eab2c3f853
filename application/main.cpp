// Quorvane, the desktop application. "--hidden" (the login item's start)
// keeps the window off the screen.
#include "QVAppDelegate.h"

#include "QVApplicationInstance.h"
#include "QVDistributedNotificationCenter.h"
#include "QVLogger.h"
#include "QVMainWindowAdaptor.h"
#include "QVRunningApplications.h"
#include "QVStatusBar.h"
#include "QVTerminationSignals.h"

#include <QApplication>
#include <QDBusConnection>

namespace {
// How long a second start waits for the first to claim its name.
constexpr int kActivationWaitMs = 10'000;
}  // namespace

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quorvane"));
    QApplication::setDesktopFileName(QStringLiteral("org.quorvane.Quorvane"));
    QApplication::setQuitOnLastWindowClosed(false);
    const bool hidden = QApplication::arguments().contains(QStringLiteral("--hidden"));

    // One instance per session: two would run two engines and write the same
    // list files. A second start shows the first one's window and leaves.
    // Which of two starts goes on (the login item may start it while the
    // user does) is settled before either logs or opens anything.
    const QString identifier = QString::fromLatin1(QVRunningApplications::kApplicationBundleIdentifier);
    QVApplicationInstance instance(identifier);
    if (!instance.lock() && QDBusConnection::sessionBus().isConnected()) {
        // The other may also be on its way out: then this start goes on.
        const bool activated = !hidden && instance.activateRunningInstance(kActivationWaitMs);
        if (activated || QVRunningApplications::isRunning(identifier) || !instance.lock())
            return 0;
    }

    // The desktop's log-out and Ctrl+C quit through the ordinary shut-down,
    // and so does the loss of the session bus, over which alone the mail
    // plug-in reaches the application. Requests still waiting are dropped
    // there; none is handled first.
    QVTerminationSignals terminationSignals;
    QObject::connect(&terminationSignals, &QVTerminationSignals::terminationRequested, &application,
                     [](int signalNumber) {
                         QVLogCore(QStringLiteral("Quitting on signal %1."), signalNumber);
                         QVAppDelegate::terminate();
                     });
    QObject::connect(&instance, &QVApplicationInstance::busDisconnected, &application, [] {
        QVLogCore(QStringLiteral("Quitting: the session bus is gone."));
        QVAppDelegate::terminate();
    });

    QVAppDelegate delegate(QVStatusBar::systemStatusBar(), QVDistributedNotificationCenter::defaultCenter());
    delegate.applicationWillFinishLaunching();
    QObject::connect(&instance, &QVApplicationInstance::activationRequested, &delegate,
                     &QVAppDelegate::applicationOpenUntitledFile);
    // Beside Activate, the same bus object tells what the window shows.
    new QVMainWindowAdaptor(&instance, &delegate);
    delegate.applicationDidFinishLaunching(hidden);

    // Only now, with every subscription in place, does the plug-in learn
    // that the application runs: a request sent earlier would be lost.
    // Qt D-Bus dispatches a connection's first signals only once the event
    // loop has run: let it, so that no request overtakes an earlier one.
    QCoreApplication::processEvents();
    int status = 0;
    if (instance.claim()) {
        status = QApplication::exec();
    } else if (QVRunningApplications::isRunning(identifier)) {
        // A program that does not take the instance name holds it.
        if (!hidden)
            instance.activateRunningInstance();
    } else {
        qWarning("Quorvane: the session bus is not reachable; the mail plug-in cannot reach this instance");
        status = QApplication::exec();
    }
    delegate.applicationWillTerminate();
    return status;
}
