// The plug-in's core inside the mail host: submits every new unread inbox
// message to the application for a verdict, and moves messages into or out
// of the account's junk mailbox "Quorvane" when the application answers.
// Host objects are reached through the object runtime only.
#pragma once

#include "QVObjectRuntime.h"

#include <QObject>
#include <QVariantMap>

struct QVDistributedNotification;
struct QVNotification;

class QVMailHandler final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(QVMailHandler)

public:
    static QVMailHandler *defaultHandler();
    static void shutDownPluginMail();

    // The sender's bare address: between the first "<" and the next ">",
    // the rest after "<" without ">", the whole text without "<".
    static QString addressFromSender(const QString &sender);
    // The part of that address after its first "@", or "".
    static QString domainFromSender(const QString &sender);

    // Header bytes followed by at most `bodyLimit` body bytes.
    static QByteArray messageData(const QVObjC::id &message, qsizetype bodyLimit);
    // {"Message", "MessageID", "Address", "Domain"}, ended by the first
    // missing value.
    static QVariantMap messageUserInfo(const QVObjC::id &message, qsizetype bodyLimit);

    QVMailHandler();
    ~QVMailHandler() override;

    void subscribeForNotifications();
    void unsubscribeForNotifications();

    // Asks the launch agent to start the application when it is not
    // running, then gives it one second.
    void launchCore();

    bool isInboxMessage(const QVObjC::id &message) const;
    bool isMessageInQuorvaneFolder(const QVObjC::id &message) const;
    QVObjC::id quorvaneMailboxForAccount(const QVObjC::id &account);
    QVObjC::id inboxMailboxForAccount(const QVObjC::id &account) const;
    QVObjC::id availableMessageViewer() const;

    bool moveMessageToQuorvaneFolder(const QVObjC::id &message);
    bool moveMessageToInbox(const QVObjC::id &message);
    bool removeAllMessagesFromQuorvaneFolderForAccount(const QVObjC::id &account);

    void messageStoreDidAddMessages(const QVNotification &notification);
    void monitoredActivityStarted(const QVNotification &) {}
    void monitoredActivityEnded(const QVNotification &) {}
    void spamDetectedNotification(const QVDistributedNotification &notification);
    void letterBlockedNotification(const QVDistributedNotification &notification);
    void letterUnblockedNotification(const QVDistributedNotification &notification);

private:
    enum class Destination { Junk, Inbox };
    bool moveMessage(const QVObjC::id &message, Destination destination);
    void processAddedMessages(const QVariantMap &userInfo);
    // The message the answer names, after logging; null when there is none.
    QVObjC::id answeredMessage(const QVDistributedNotification &notification, const QString &logFormat);
};
