#include "QVRunningApplications.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>

namespace QVRunningApplications {

bool isRunning(const QString &bundleIdentifier)
{
    const auto *bus = QDBusConnection::sessionBus().interface();
    return bus && bus->isServiceRegistered(bundleIdentifier).value();
}

bool claimBundleIdentifier(const QString &bundleIdentifier)
{
    auto *bus = QDBusConnection::sessionBus().interface();
    if (!bus)
        return false;
    const auto reply = bus->registerService(bundleIdentifier, QDBusConnectionInterface::DontQueueService,
                                            QDBusConnectionInterface::DontAllowReplacement);
    return reply.isValid() && reply.value() == QDBusConnectionInterface::ServiceRegistered;
}

void releaseBundleIdentifier(const QString &bundleIdentifier)
{
    // Sent without waiting for the reply: the bus answers only after every
    // message it already queued for this process, which may take minutes to
    // read. Later calls on the connection still see the name released, since
    // the bus handles a connection's messages in order.
    auto bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    auto message =
        QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                                       QStringLiteral("org.freedesktop.DBus"), QStringLiteral("ReleaseName"));
    message << bundleIdentifier;
    bus.send(message);
}

}  // namespace QVRunningApplications
