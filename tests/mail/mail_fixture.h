// A mail host over temporary Maildirs with the plug-in installed into a
// temporary Library, and a recorder of the notifications on the bus.
#pragma once

#include "wait_for.h"

#include "MailHost.h"
#include "MessageViewer.h"
#include "QVDistributedNotificationCenter.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTemporaryDir>

#include <memory>
#include <ostream>
#include <vector>

// Readable failures.
QT_BEGIN_NAMESPACE
inline std::ostream &operator<<(std::ostream &out, const QString &text)
{
    return out << text.toStdString();
}
inline void PrintTo(const QString &text, std::ostream *out)
{
    *out << '"' << text.toStdString() << '"';
}
QT_END_NAMESPACE

class QVSpamManager;

// Runs the event loop for a while, for things that must not happen.
void settle(int milliseconds = 300);

QByteArray mailMessage(const QString &messageID, const QString &from, const QString &subject, const QByteArray &body);

class MailHostTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Loads the bundle, opens a viewer (which makes the plug-in's handler)
    // and opens the stores. With `applicationRunning` the application's bus
    // name is owned, so the plug-in does not wait for it.
    void start(bool applicationRunning = true);

    QString root() const { return dir_.path() + QStringLiteral("/Work"); }
    QString library() const { return dir_.path() + QStringLiteral("/Library"); }
    // Writes a message into the mailbox's folder (new/, or cur/ with flags).
    QString deliver(const QString &mailbox, const QByteArray &message, const QString &flags = QString());
    std::shared_ptr<QVMailHost::MFMessage> waitForMessage(const QString &messageID);
    QStringList filesIn(const QString &folder) const;

    // Notifications on the bus, recorded from the start.
    std::vector<QVDistributedNotification> received(const char *name) const;
    void clearReceived() { received_.clear(); }

    // The application's responder; an accepting engine answers every
    // report and revocation with success and scores every message `score`,
    // its first lookup taking `firstLookupMs`.
    std::unique_ptr<QVSpamManager> makeManager(bool acceptingEngine, uint32_t score = 0, int firstLookupMs = 0);

    std::shared_ptr<QVMailHost::ToolbarSegment> pluginSegment(int index) const;
    QVObjC::MenuItemRef menuItem(const QString &action) const;

    QTemporaryDir dir_;
    std::unique_ptr<QVMailHost::MailHost> host_;
    std::shared_ptr<QVMailHost::MFMailAccount> account_;
    std::shared_ptr<QVMailHost::MessageViewer> viewer_;
    QObject observer_;
    std::vector<QVDistributedNotification> received_;
    bool ownsApplicationName_ = false;
};
