#include "QVMailHandler.h"

#include "QVDistributedNotificationCenter.h"
#include "QVLogger.h"
#include "QVNotificationCenter.h"
#include "QVNotificationProtocol.h"
#include "QVRunningApplications.h"

#include <QCryptographicHash>
#include <QPointer>
#include <QThread>

using QVObjC::id;
using QVObjC::ObjectList;

namespace {

const QString kJunkMailboxName = QStringLiteral("Quorvane");
const QString kMessageIDKey = QString::fromLatin1(kQVUserInfoMessageIDKey);

QVMailHandler *sharedHandler = nullptr;

QVObjC::Class *mailClass(const char *name)
{
    return QVObjC::NSClassFromString(QString::fromLatin1(name));
}

QString text(const id &object, const char *selector)
{
    return QVObjC::send<QString>(object, QString::fromLatin1(selector));
}

id object(const id &receiver, const char *selector)
{
    return QVObjC::send<id>(receiver, QString::fromLatin1(selector));
}

QString describe(const id &object)
{
    return object ? text(object, "description") : QStringLiteral("(null)");
}

bool isJunkMailbox(const id &mailbox)
{
    return mailbox && text(mailbox, "accountRelativePath").compare(kJunkMailboxName, Qt::CaseInsensitive) == 0;
}

}  // namespace

QVMailHandler *QVMailHandler::defaultHandler()
{
    if (!sharedHandler)
        sharedHandler = new QVMailHandler;
    return sharedHandler;
}

void QVMailHandler::shutDownPluginMail()
{
    delete std::exchange(sharedHandler, nullptr);
}

QString QVMailHandler::addressFromSender(const QString &sender)
{
    const qsizetype open = sender.indexOf(u'<');
    if (open < 0)
        return sender;
    const qsizetype close = sender.indexOf(u'>', open + 1);
    return close < 0 ? sender.mid(open + 1) : sender.mid(open + 1, close - open - 1);
}

QString QVMailHandler::domainFromSender(const QString &sender)
{
    const QString address = addressFromSender(sender);
    const qsizetype at = address.indexOf(u'@');
    return at < 0 ? QStringLiteral("") : address.mid(at + 1);
}

QByteArray QVMailHandler::messageData(const id &message, qsizetype bodyLimit)
{
    QByteArray bytes = QVObjC::send<QByteArray>(message, QStringLiteral("headerData"));
    if (bytes.size() > kHeaderLimit)
        bytes.truncate(kHeaderLimit);
    const QByteArray body = QVObjC::send<QByteArray>(message, QStringLiteral("bodyData"));
    bytes.append(QByteArrayView(body).first(std::min(body.size(), bodyLimit)));
    return bytes;
}

QVariantMap QVMailHandler::messageUserInfo(const id &message, qsizetype bodyLimit)
{
    const QString sender = text(message, "sender");
    const QString messageID = text(message, "messageID");
    const QVariant values[] = {
        messageData(message, bodyLimit),
        messageID.isNull() ? QVariant() : QVariant(messageID),
        sender.isNull() ? QVariant() : QVariant(addressFromSender(sender)),
        sender.isNull() ? QVariant() : QVariant(domainFromSender(sender)),
    };
    const char *const keys[] = {kQVUserInfoMessageKey, kQVUserInfoMessageIDKey, kQVUserInfoAddressKey,
                                kQVUserInfoDomainKey};
    QVariantMap userInfo;
    for (size_t i = 0; i < std::size(values) && values[i].isValid(); ++i)
        userInfo.insert(QString::fromLatin1(keys[i]), values[i]);
    return userInfo;
}

QVMailHandler::QVMailHandler()
{
    auto &center = QVNotificationCenter::defaultCenter();
    center.addObserver(this, QStringLiteral("MessageStoreMessagesAdded_inMainThread_"), nullptr,
                       [this](const QVNotification &n) { messageStoreDidAddMessages(n); });
    center.addObserver(this, QStringLiteral("MonitoredActivityStarted_inMainThread_"), nullptr,
                       [this](const QVNotification &n) { monitoredActivityStarted(n); });
    center.addObserver(this, QStringLiteral("MonitoredActivityEnded_inMainThread_"), nullptr,
                       [this](const QVNotification &n) { monitoredActivityEnded(n); });
    subscribeForNotifications();
    launchCore();
}

QVMailHandler::~QVMailHandler()
{
    unsubscribeForNotifications();
    QVNotificationCenter::defaultCenter().removeObserver(this);
}

void QVMailHandler::subscribeForNotifications()
{
    auto *center = QVDistributedNotificationCenter::defaultCenter();
    center->addObserver(this, QString::fromLatin1(kQVClientDidDetermineSpamNotification),
                        [this](const QVDistributedNotification &n) { spamDetectedNotification(n); });
    center->addObserver(this, QString::fromLatin1(kQVClientDidBlockLetterNotification),
                        [this](const QVDistributedNotification &n) { letterBlockedNotification(n); });
    center->addObserver(this, QString::fromLatin1(kQVClientDidUnblockLetterNotification),
                        [this](const QVDistributedNotification &n) { letterUnblockedNotification(n); });
}

void QVMailHandler::unsubscribeForNotifications()
{
    QVDistributedNotificationCenter::defaultCenter()->removeObserver(this);
}

void QVMailHandler::launchCore()
{
    if (QVRunningApplications::isRunning(QString::fromLatin1(QVRunningApplications::kApplicationBundleIdentifier)))
        return;
    QVDistributedNotificationCenter::defaultCenter()->postNotificationName(
        QString::fromLatin1(kQVPluginNeedsToLaunchClientNotification));
    QThread::msleep(1000);
}

void QVMailHandler::rememberRequest(QVPendingAnswers::Kind kind, const id &message, const QVariantMap &userInfo)
{
    // Copies of one message may stand for each other; different messages
    // under one Message-ID may not.
    const QByteArray fingerprint = kind == QVPendingAnswers::Kind::Verdict
        ? QCryptographicHash::hash(userInfo.value(QString::fromLatin1(kQVUserInfoMessageKey)).toByteArray(),
                                   QCryptographicHash::Sha256)
        : QByteArray();
    pending_.add(kind, userInfo.value(kMessageIDKey).toString(), message, fingerprint);
}

bool QVMailHandler::post(const char *notification, const QVariantMap &userInfo)
{
    const QString name = QString::fromLatin1(notification);
    if (QVDistributedNotificationCenter::defaultCenter()->postNotificationName(name, userInfo))
        return true;
    QVLogPlugin(QStringLiteral("*** ERROR: Could not post %1: the session bus did not take it"), name);
    return false;
}

bool QVMailHandler::isInboxMessage(const id &message) const
{
    const id mailbox = object(message, "mailbox");
    if (!mailbox)
        return false;
    const QString uuid = text(mailbox, "uuid");
    const ObjectList inboxes =
        QVObjC::sendClass<ObjectList>(mailClass("MFMailAccount"), QStringLiteral("inboxMailboxes"));
    return std::any_of(inboxes.begin(), inboxes.end(), [&](const id &inbox) { return text(inbox, "uuid") == uuid; });
}

bool QVMailHandler::isMessageInQuorvaneFolder(const id &message) const
{
    if (isJunkMailbox(object(message, "mailbox")))
        return true;
    const ObjectList labels = QVObjC::send<ObjectList>(message, QStringLiteral("gmailLabels"));
    return std::any_of(labels.begin(), labels.end(), isJunkMailbox);
}

id QVMailHandler::quorvaneMailboxForAccount(const id &account)
{
    const ObjectList mailboxes = QVObjC::send<ObjectList>(account, QStringLiteral("allMailboxes"));
    for (const id &mailbox : mailboxes) {
        if (isJunkMailbox(mailbox))
            return mailbox;
    }
    const id created = QVObjC::send<id>(account, QStringLiteral("createMailboxWithParent:name:"),
                                        object(account, "rootMailbox"), kJunkMailboxName);
    QVLogPlugin(QStringLiteral("*** Creating the spam folder: %1"), describe(created));
    if (created)
        return created;
    QVLogPlugin(QStringLiteral("*** ERROR: Could not find the spam folder for account: %1"), describe(account));
    return nullptr;
}

id QVMailHandler::inboxMailboxForAccount(const id &account) const
{
    const ObjectList inboxes =
        QVObjC::sendClass<ObjectList>(mailClass("MFMailAccount"), QStringLiteral("inboxMailboxes"));
    for (const id &inbox : inboxes) {
        if (object(inbox, "account") == account)
            return inbox;
    }
    return nullptr;
}

id QVMailHandler::availableMessageViewer() const
{
    QVObjC::Class *viewerClass = mailClass("MessageViewer");
    const ObjectList viewers = QVObjC::sendClass<ObjectList>(viewerClass, QStringLiteral("allMessageViewers"));
    const ObjectList single = QVObjC::sendClass<ObjectList>(viewerClass, QStringLiteral("allSingleMessageViewers"));
    for (const id &viewer : viewers) {
        if (!single.contains(viewer))
            return viewer;
    }
    return QVObjC::sendClass<id>(viewerClass, QStringLiteral("newDefaultMessageViewer"));
}

bool QVMailHandler::moveMessageToQuorvaneFolder(const id &message)
{
    if (!moveMessage(message, Destination::Junk))
        return false;
    rememberJunk(message);
    return true;
}

QString QVMailHandler::identity(const id &message)
{
    // What other mail programs keep when they copy a message: its fields,
    // not its file.
    const QString messageID = text(message, "messageID");
    return messageID.isEmpty() ? QString()
                               : messageID + u'\n' + text(message, "sender") + u'\n' + text(message, "subject");
}

void QVMailHandler::rememberJunk(const id &message)
{
    const QString key = identity(message);
    if (key.isEmpty())
        return;
    if (!movedToJunk_.contains(key))
        movedToJunkOrder_.push_back(key);
    movedToJunk_.insert(key, message);
    constexpr size_t kRemembered = 10'000;
    while (movedToJunkOrder_.size() > kRemembered) {
        movedToJunk_.remove(movedToJunkOrder_.front());
        movedToJunkOrder_.pop_front();
    }
}

bool QVMailHandler::cameBackFromJunk(const id &message)
{
    const QString key = identity(message);
    const auto found = key.isEmpty() ? movedToJunk_.end() : movedToJunk_.find(key);
    if (found == movedToJunk_.end())
        return false;
    // A new file with the fields of a message moved to junk: taken out
    // again, as a copy (the host may not have seen the original go yet).
    if (found->lock() == message)
        return false;
    movedToJunk_.erase(found);
    std::erase(movedToJunkOrder_, key);
    return true;
}

bool QVMailHandler::moveMessageToInbox(const id &message)
{
    return moveMessage(message, Destination::Inbox);
}

bool QVMailHandler::moveMessage(const id &message, Destination destination)
{
    const id account = object(object(message, "mailbox"), "account");
    if (!QVObjC::isKindOfClass(account, mailClass("MFMailAccount")))
        return false;
    const id target =
        destination == Destination::Junk ? quorvaneMailboxForAccount(account) : inboxMailboxForAccount(account);
    if (!target)
        return false;
    const QString messageID = text(message, "messageID");
    if (const id viewer = availableMessageViewer()) {
        const bool result = QVObjC::send<bool>(
            viewer,
            QStringLiteral(
                "transferMessages:toMailbox:deleteOriginals:allowUndo:isDeleteOperation:isArchiveOperation:"),
            ObjectList{message}, target, true, false, false, false);
        QVLogPlugin(destination == Destination::Junk
                        ? QStringLiteral("*** Transfered message %1 to the spam folder %2 with result: %3")
                        : QStringLiteral("*** Transfered message %1 to the inbox folder %2 with result: %3"),
                    messageID, describe(target), result ? QStringLiteral("YES") : QStringLiteral("NO"));
        return true;
    }
    QVDispatch::asyncGlobal([message, target, messageID, destination] {
        const qint64 result = QVObjC::sendClass<qint64>(mailClass("MFMessageStore"),
                                                        QStringLiteral("copyMessages:toMailbox:shouldDelete:"),
                                                        ObjectList{message}, target, true);
        QVLogPlugin(destination == Destination::Junk
                        ? QStringLiteral("*** Copied message %1 to the spam folder %2 with result: %3")
                        : QStringLiteral("*** Copied message %1 to the inbox %2 with result: %3"),
                    messageID, describe(target), result);
    });
    return true;
}

bool QVMailHandler::removeAllMessagesFromQuorvaneFolderForAccount(const id &account)
{
    QVObjC::Class *mailAccount = mailClass("MFMailAccount");
    if (!QVObjC::isKindOfClass(account, mailAccount))
        return false;
    const id target = quorvaneMailboxForAccount(account);
    if (!target)
        return false;
    QVDispatch::asyncGlobal([target] {
        QVObjC::Class *messageClass = mailClass("MFMessage");
        const id store = QVObjC::sendClass<id>(mailClass("MFMessageStore"),
                                               QStringLiteral("currentlyAvailableStoreForMailbox:"), target);
        const ObjectList messages = QVObjC::send<ObjectList>(store, QStringLiteral("copyOfAllMessages"));
        for (const id &message : messages) {
            if (QVObjC::isKindOfClass(message, messageClass))
                QVObjC::send(store, QStringLiteral("deleteMessages:moveToTrash:"), ObjectList{message}, false);
        }
    });
    return true;
}

void QVMailHandler::messageStoreDidAddMessages(const QVNotification &notification)
{
    if (notification.userInfo.isEmpty()
        || notification.userInfo.value(QStringLiteral("MessageStoreMessagesAddedDuringOpen")).toBool())
        return;
    QPointer<QVMailHandler> self(this);
    const QVariantMap userInfo = notification.userInfo;
    QVDispatch::asyncMain([self, userInfo] {
        if (self)
            self->processAddedMessages(userInfo);
    });
}

void QVMailHandler::processAddedMessages(const QVariantMap &userInfo)
{
    launchCore();
    const ObjectList messages = userInfo.value(QStringLiteral("messages")).value<ObjectList>();
    for (const id &message : messages) {
        if (!isWaitingForVerdict(message))
            continue;
        if (cameBackFromJunk(message)) {
            QVLogPlugin(QStringLiteral("*** %1 was taken out of the spam folder; it is not judged again"),
                        text(message, "messageID"));
            continue;
        }
        const QVariantMap info = messageUserInfo(message, qsizetype(kQVMessageBodyLimit));
        QVLogPlugin(QStringLiteral("*** PROCESSING: %1"), text(message, "messageID"));
        if (post(kQVPluginDidReceiveNewMessageNotification, info))
            rememberRequest(QVPendingAnswers::Kind::Verdict, message, info);
    }
}

bool QVMailHandler::isWaitingForVerdict(const id &message) const
{
    return isInboxMessage(message) && !QVObjC::send<bool>(message, QStringLiteral("isRead"));
}

id QVMailHandler::answeredMessage(const QVDistributedNotification &notification, const QString &logFormat,
                                  QVPendingAnswers::Kind kind, const std::function<bool(const id &)> &waiting)
{
    const QString messageID = notification.stringValue(kMessageIDKey);
    QVLogPlugin(logFormat, messageID);
    if (messageID.isEmpty())
        return nullptr;
    const QVPendingAnswers::Answer answer = pending_.take(kind, messageID, waiting);
    switch (answer.outcome) {
    case QVPendingAnswers::Outcome::Found: return answer.message;
    case QVPendingAnswers::Outcome::Ambiguous:
        QVLogPlugin(QStringLiteral("*** Different messages wait under the Message-ID %1; none is moved"), messageID);
        return nullptr;
    case QVPendingAnswers::Outcome::None:
        QVLogPlugin(QStringLiteral("*** No message posted under the Message-ID %1 waits for this answer"), messageID);
        return nullptr;
    }
    return nullptr;
}

void QVMailHandler::spamDetectedNotification(const QVDistributedNotification &notification)
{
    // Only a message still unread in an inbox: the user may have read or
    // filed it meanwhile.
    const id message =
        answeredMessage(notification, QStringLiteral("*** DETECTED AS SPAM: %1"), QVPendingAnswers::Kind::Verdict,
                        [this](const id &m) { return isWaitingForVerdict(m); });
    if (message)
        moveMessageToQuorvaneFolder(message);
}

void QVMailHandler::letterBlockedNotification(const QVDistributedNotification &notification)
{
    if (const id message = answeredMessage(notification, QStringLiteral("*** BLOCKED: %1"),
                                           QVPendingAnswers::Kind::Block, [](const id &) { return true; }))
        moveMessageToQuorvaneFolder(message);
}

void QVMailHandler::letterUnblockedNotification(const QVDistributedNotification &notification)
{
    const id message =
        answeredMessage(notification, QStringLiteral("*** UNBLOCKED: %1"), QVPendingAnswers::Kind::Unblock,
                        [this](const id &m) { return isMessageInQuorvaneFolder(m); });
    if (message)
        moveMessageToInbox(message);
}
