// The plug-in's core inside the mail host: submits every new unread inbox
// message to the application for a verdict, and moves messages into or out
// of the account's junk mailbox "Quorvane" when the application answers.
// Host objects are reached through the object runtime only.
#pragma once

#include "QVObjectRuntime.h"
#include "QVPendingAnswers.h"

#include <QHash>
#include <QObject>

#include <deque>
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

    // A header longer than this is cut here, so that a message without a
    // header end cannot make a post that the bus refuses.
    static constexpr qsizetype kHeaderLimit = 256 * 1024;

    // Header bytes (at most kHeaderLimit) followed by at most `bodyLimit`
    // body bytes.
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
    // An unread inbox message: one that is submitted, and that a verdict
    // may still move.
    bool isWaitingForVerdict(const QVObjC::id &message) const;
    QVObjC::id quorvaneMailboxForAccount(const QVObjC::id &account);
    QVObjC::id inboxMailboxForAccount(const QVObjC::id &account) const;
    QVObjC::id availableMessageViewer() const;

    // Remembers a message posted for an answer (the user info as posted):
    // only a remembered message is moved by an answer.
    void rememberRequest(QVPendingAnswers::Kind kind, const QVObjC::id &message, const QVariantMap &userInfo);
    // Posts a request; a post the bus does not take is logged.
    static bool post(const char *notification, const QVariantMap &userInfo = {});

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
    // The message the answer is for, after logging; null when no message
    // posted under that Message-ID waits for it.
    QVObjC::id answeredMessage(const QVDistributedNotification &notification, const QString &logFormat,
                               QVPendingAnswers::Kind kind, const std::function<bool(const QVObjC::id &)> &waiting);

    // Messages moved into the junk folder, so that one that the user (or
    // another program) brings back as a new file is not judged again.
    static QString identity(const QVObjC::id &message);
    void rememberJunk(const QVObjC::id &message);
    bool cameBackFromJunk(const QVObjC::id &message);

    QVPendingAnswers pending_;
    QHash<QString, QVObjC::weak_id> movedToJunk_;
    std::deque<QString> movedToJunkOrder_;
};
