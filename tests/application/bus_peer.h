// The mail plug-in's side of the session bus, or any other process there: a
// connection of its own that posts raw signals (so that missing and
// mistyped values can be tried) and collects the application's answers.
#pragma once

#include "QVDistributedNotificationCenter.h"
#include "wait_for.h"

#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusMessage>

#include <algorithm>
#include <vector>

inline const QByteArray kPlainMessage = QByteArrayLiteral("From: a@x.com\r\nSubject: hello\r\n\r\nbody\r\n");

class BusPeer {
public:
    BusPeer()
        : connection_(QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("peer"))),
          center_(connection_)
    {
        for (const char *name : {"QV_DETERMINED_SPAM", "QV_BLOCK_LETTER", "QV_BLOCK_UNBLOCK"}) {
            center_.addObserver(&observer_, QString::fromLatin1(name),
                                [this](const QVDistributedNotification &n) { answers.push_back(n); });
        }
    }
    ~BusPeer() { QDBusConnection::disconnectFromBus(QStringLiteral("peer")); }
    BusPeer(const BusPeer &) = delete;
    BusPeer &operator=(const BusPeer &) = delete;

    void post(const QString &name, const QVariantMap &userInfo)
    {
        QDBusMessage signal = QDBusMessage::createSignal(QStringLiteral("/org/quorvane/Distributed"),
                                                         QStringLiteral("org.quorvane.Distributed"), name);
        signal << userInfo;
        ASSERT_TRUE(connection_.send(signal));
    }
    void postMessage(const QString &id, const QString &address, const QByteArray &message = kPlainMessage)
    {
        post(QStringLiteral("QV_ADD_MESSAGE"),
             {{"Message", message}, {"MessageID", id}, {"Address", address}, {"Domain", address.section(u'@', 1)}});
    }

    bool hasAnswer(const QString &id) const
    {
        return std::any_of(answers.begin(), answers.end(),
                           [&](const QVDistributedNotification &n) { return n.stringValue("MessageID") == id; });
    }
    bool answered(const QString &id, int milliseconds = 20000)
    {
        return waitFor([&] { return hasAnswer(id); }, milliseconds);
    }

    // Requests are handled in order: once a block-listed sentinel is
    // answered, everything posted before it has been handled.
    void settle(const QString &sentinelID = QStringLiteral("<sentinel>"))
    {
        postMessage(sentinelID, QStringLiteral("sentinel@blocked.example"));
        ASSERT_TRUE(answered(sentinelID));
        std::erase_if(answers,
                      [&](const QVDistributedNotification &n) { return n.stringValue("MessageID") == sentinelID; });
    }

    std::vector<QVDistributedNotification> answers;

private:
    QDBusConnection connection_;
    QVDistributedNotificationCenter center_;
    QObject observer_;
};
