// QVLaunchAgent: the login item of Quorvane. No window; it runs until the
// session ends.
#include "QVAppDelegate.h"

#include "QVDistributedNotificationCenter.h"
#include "QVRunningApplications.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QTimer>

namespace {
constexpr int kSessionCheckIntervalMs = 2000;
}

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    auto bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        qWarning("QVLaunchAgent: no session bus");
        return 1;
    }
    // The session is over when its bus goes away; Qt tells nobody, so look.
    QTimer sessionCheck;
    QObject::connect(&sessionCheck, &QTimer::timeout, &application, [] {
        if (!QDBusConnection::sessionBus().isConnected())
            QCoreApplication::quit();
    });
    sessionCheck.start(kSessionCheckIntervalMs);

    QVAppDelegate delegate(QVDistributedNotificationCenter::defaultCenter());
    delegate.applicationDidFinishLaunching();
    // Claimed last, so that whoever sees the agent's name knows it listens.
    // A second agent (login and the application both start one) leaves.
    if (!QVRunningApplications::claimBundleIdentifier(
            QString::fromLatin1(QVRunningApplications::kLaunchAgentBundleIdentifier)))
        return 0;
    return application.exec();
}
