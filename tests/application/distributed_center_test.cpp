#include "QVDistributedNotificationCenter.h"
#include "QVRunningApplications.h"
#include "support.h"

#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusMessage>

#include <optional>

namespace {

TEST(DistributedCenter, DeliversNameAndTypedValuesAcrossTheBus)
{
    auto *center = QVDistributedNotificationCenter::defaultCenter();
    QObject observer;
    std::optional<QVDistributedNotification> received;
    center->addObserver(&observer, QStringLiteral("QV_ADD_MESSAGE"),
                        [&](const QVDistributedNotification &n) { received = n; });

    // Another program posts with its own connection, a wrong type included.
    auto other = QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("other"));
    QDBusMessage signal =
        QDBusMessage::createSignal(QStringLiteral("/org/quorvane/Distributed"),
                                   QStringLiteral("org.quorvane.Distributed"), QStringLiteral("QV_ADD_MESSAGE"));
    signal << QVariantMap{{QStringLiteral("Message"), QByteArray("Subject: x\r\n\r\nbody")},
                          {QStringLiteral("MessageID"), QStringLiteral("<id@example.com>")},
                          {QStringLiteral("Address"), 42}};
    ASSERT_TRUE(other.send(signal));

    ASSERT_TRUE(waitFor([&] { return received.has_value(); }));
    EXPECT_EQ(received->name, QStringLiteral("QV_ADD_MESSAGE"));
    EXPECT_EQ(received->dataValue(QStringLiteral("Message")), QByteArray("Subject: x\r\n\r\nbody"));
    EXPECT_EQ(received->stringValue(QStringLiteral("MessageID")), QStringLiteral("<id@example.com>"));
    EXPECT_FALSE(received->contains(QStringLiteral("Address")));
    QDBusConnection::disconnectFromBus(QStringLiteral("other"));
}

TEST(DistributedCenter, RemovedObserversHearNothing)
{
    auto *center = QVDistributedNotificationCenter::defaultCenter();
    int calls = 0;
    {
        QObject observer;
        center->addObserver(&observer, QStringLiteral("QV_BLOCK_LETTER"),
                            [&](const QVDistributedNotification &) { ++calls; });
    }
    QObject witness;
    bool heard = false;
    center->addObserver(&witness, QStringLiteral("QV_BLOCK_LETTER"),
                        [&](const QVDistributedNotification &) { heard = true; });
    ASSERT_TRUE(center->postNotificationName(QStringLiteral("QV_BLOCK_LETTER"),
                                             {{QStringLiteral("MessageID"), QStringLiteral("<a>")}}));
    ASSERT_TRUE(waitFor([&] { return heard; }));
    EXPECT_EQ(calls, 0);
    EXPECT_FALSE(center->postNotificationName(QStringLiteral("not a member name")));
}

TEST(RunningApplications, ANameRunsWhileOwned)
{
    const QString name = QString::fromLatin1(QVRunningApplications::kLaunchAgentBundleIdentifier);
    EXPECT_FALSE(QVRunningApplications::isRunning(name));
    ASSERT_TRUE(QVRunningApplications::claimBundleIdentifier(name));
    EXPECT_TRUE(QVRunningApplications::isRunning(name));
    QVRunningApplications::releaseBundleIdentifier(name);
    EXPECT_FALSE(QVRunningApplications::isRunning(name));
}

}  // namespace
