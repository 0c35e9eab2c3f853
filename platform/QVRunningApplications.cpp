#include "QVRunningApplications.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>

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
    if (auto *bus = QDBusConnection::sessionBus().interface())
        bus->unregisterService(bundleIdentifier);
}

}  // namespace QVRunningApplications
