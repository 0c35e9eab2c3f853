// Quorvane, the desktop application. "--hidden" (the login item's start)
// keeps the window off the screen.
#include "QVAppDelegate.h"

#include "QVApplicationInstance.h"
#include "QVDistributedNotificationCenter.h"
#include "QVMainWindowAdaptor.h"
#include "QVRunningApplications.h"
#include "QVStatusBar.h"
#include "QVTerminationSignals.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quorvane"));
    QApplication::setDesktopFileName(QStringLiteral("org.quorvane.Quorvane"));
    QApplication::setQuitOnLastWindowClosed(false);
    const bool hidden = QApplication::arguments().contains(QStringLiteral("--hidden"));

    // One instance per session: two would run two engines and write the same
    // list files. A second start shows the first one's window and leaves.
    QVApplicationInstance instance(QString::fromLatin1(QVRunningApplications::kApplicationBundleIdentifier));
    if (!instance.claim()) {
        if (QVRunningApplications::isRunning(QString::fromLatin1(QVRunningApplications::kApplicationBundleIdentifier))) {
            if (!hidden)
                instance.activateRunningInstance();
            return 0;
        }
        qWarning("Quorvane: the session bus is not reachable; the mail plug-in cannot reach this instance");
    }

    // The desktop's log-out and Ctrl+C quit through the ordinary shut-down.
    QVTerminationSignals terminationSignals;
    QObject::connect(&terminationSignals, &QVTerminationSignals::terminationRequested, &application,
                     [] { QCoreApplication::exit(0); });

    QVAppDelegate delegate(QVStatusBar::systemStatusBar(), QVDistributedNotificationCenter::defaultCenter());
    delegate.applicationWillFinishLaunching();
    QObject::connect(&instance, &QVApplicationInstance::activationRequested, &delegate,
                     &QVAppDelegate::applicationOpenUntitledFile);
    // Beside Activate, the same bus object tells what the window shows.
    new QVMainWindowAdaptor(&instance, &delegate);
    delegate.applicationDidFinishLaunching(hidden);
    const int status = QApplication::exec();
    delegate.applicationWillTerminate();
    return status;
}
