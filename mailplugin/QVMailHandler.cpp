#include "QVMailHandler.h"

#include "QVDistributedNotificationCenter.h"
#include "QVLogger.h"
#include "QVNotificationCenter.h"
#include "QVNotificationProtocol.h"
#include "QVRunningApplications.h"

#include <QCryptographicHash>
#include <QDBusConnection>
#include <QDBusServiceWatcher>
#include <QDateTime>
#include <QPointer>
#include <QThread>

#include <algorithm>
#include <iterator>

using QVObjC::id;
using QVObjC::ObjectList;

namespace {

const QString kJunkMailboxName = QStringLiteral("Quorvane");
const QString kMessageIDKey = QString::fromLatin1(kQVUserInfoMessageIDKey);

QVMailHandler *sharedHandler = nullptr;

// Retries: a short first wait (a rescan finds a moved file), then longer
// ones up to a ceiling, for as long as the message still wants the work.
constexpr int kRetryFirstMs = 150;
constexpr int kRetryCeilingMs = 5000;
constexpr size_t kMaximumRetries = 100'000;
constexpr size_t kRememberedJunk = 10'000;

qint64 now()
{
    return QDateTime::currentMSecsSinceEpoch();
}

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
    // Null when the file cannot be read now (another program moved it): a
    // message is never posted without its bytes.
    QByteArray bytes = QVObjC::send<QByteArray>(message, QStringLiteral("headerData"));
    if (bytes.isEmpty())
        return {};
    if (bytes.size() > kHeaderLimit)
        bytes.truncate(kHeaderLimit);
    // Only the bytes that are posted are read, where the host can do that.
    const QString limited = QStringLiteral("bodyDataWithLimit:");
    const QByteArray body = QVObjC::respondsToSelector(message, limited)
        ? QVObjC::send<QByteArray>(message, limited, qint64(bodyLimit))
        : QVObjC::send<QByteArray>(message, QStringLiteral("bodyData"));
    if (body.isNull())
        return {};
    bytes.append(QByteArrayView(body).first(std::min(body.size(), bodyLimit)));
    return bytes;
}

QString QVMailHandler::travellingMessageID(const QString &messageID)
{
    if (messageID.size() <= kLongestMessageID && !messageID.contains(QChar(0)))
        return messageID;
    const QByteArray digest = QCryptographicHash::hash(messageID.toUtf8(), QCryptographicHash::Sha256).toHex();
    return QStringLiteral("<%1@message-id.quorvane.invalid>").arg(QString::fromLatin1(digest));
}

QVariantMap QVMailHandler::messageUserInfo(const id &message, qsizetype bodyLimit)
{
    const QByteArray bytes = messageData(message, bodyLimit);
    if (bytes.isNull())
        return {};
    const QString sender = text(message, "sender");
    const QString messageID = travellingMessageID(text(message, "messageID"));
    const QVariant values[] = {
        bytes,
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
    retryTimer_.setSingleShot(true);
    connect(&retryTimer_, &QTimer::timeout, this, &QVMailHandler::runRetries);
    // When the application (re)appears on the bus, what it had not judged
    // is posted again: a crash loses its waiting requests.
    // The watcher also keeps whether it runs, so that a batch of new mail
    // does not wait for the bus to be asked.
    const QString application = QString::fromLatin1(QVRunningApplications::kApplicationBundleIdentifier);
    applicationWatcher_ = new QDBusServiceWatcher(application, QDBusConnection::sessionBus(),
                                                  QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(applicationWatcher_, &QDBusServiceWatcher::serviceRegistered, this, [this] {
        applicationRunning_ = true;
        applicationAppeared();
    });
    connect(applicationWatcher_, &QDBusServiceWatcher::serviceUnregistered, this,
            [this] { applicationRunning_ = false; });
    applicationRunning_ = QVRunningApplications::isRunning(application);
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
    center->addObserver(this, QString::fromLatin1(kQVClientDidDropMessageNotification),
                        [this](const QVDistributedNotification &n) { messageDroppedNotification(n); });
}

void QVMailHandler::unsubscribeForNotifications()
{
    QVDistributedNotificationCenter::defaultCenter()->removeObserver(this);
}

void QVMailHandler::launchCore()
{
    if (applicationRunning_)
        return;
    QVDistributedNotificationCenter::defaultCenter()->postNotificationName(
        QString::fromLatin1(kQVPluginNeedsToLaunchClientNotification));
    QThread::msleep(1000);
}

void QVMailHandler::rememberRequest(QVPendingAnswers::Kind kind, const id &message, const QVariantMap &userInfo,
                                    QByteArray digest)
{
    // Copies of one message may stand for each other; different messages
    // under one Message-ID may not.
    if (kind != QVPendingAnswers::Kind::Unblock && digest.isNull())
        digest = fingerprint(userInfo);
    pending_.add(kind, userInfo.value(kMessageIDKey).toString(), message,
                 kind == QVPendingAnswers::Kind::Unblock ? QByteArray() : digest);
}

QByteArray QVMailHandler::fingerprint(const QVariantMap &userInfo)
{
    return QCryptographicHash::hash(userInfo.value(QString::fromLatin1(kQVUserInfoMessageKey)).toByteArray(),
                                    QCryptographicHash::Sha256);
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
    return moveMessage(message, Destination::Junk, QByteArray());
}

bool QVMailHandler::moveMessageToInbox(const id &message)
{
    return moveMessage(message, Destination::Inbox, QByteArray());
}

// The junk memory

void QVMailHandler::rememberJunk(const id &message, const QByteArray &fingerprint)
{
    if (fingerprint.isEmpty())
        return;
    auto &twins = junk_[fingerprint];
    if (std::any_of(twins.begin(), twins.end(), [&](const QVObjC::weak_id &twin) { return twin.lock() == message; }))
        return;
    twins.push_back(message);
    junkOrder_.push_back(fingerprint);
    while (junkOrder_.size() > kRememberedJunk) {
        const auto oldest = junk_.find(junkOrder_.front());
        junkOrder_.pop_front();
        if (oldest == junk_.end())
            continue;
        oldest->erase(oldest->begin());
        if (oldest->empty())
            junk_.erase(oldest);
    }
}

void QVMailHandler::forgetJunk(const id &message)
{
    // Brought back by an unblock: no longer a twin in the junk folder.
    for (auto it = junk_.begin(); it != junk_.end();) {
        std::erase_if(*it, [&](const QVObjC::weak_id &twin) { return twin.lock() == message; });
        it = it->empty() ? junk_.erase(it) : std::next(it);
    }
}

QVMailHandler::Twin QVMailHandler::junkTwin(const QByteArray &fingerprint, bool take)
{
    const auto found = junk_.find(fingerprint);
    if (found == junk_.end())
        return Twin::None;
    Twin result = Twin::None;
    for (auto twin = found->begin(); twin != found->end(); ++twin) {
        const id message = twin->lock();
        if (message && isMessageInQuorvaneFolder(message)) {
            result = Twin::InJunk;
            continue;
        }
        // Deleted from the junk folder, or moved out of it.
        if (take) {
            found->erase(twin);
            if (found->empty())
                junk_.erase(found);
        }
        return Twin::Left;
    }
    return result;
}

// Moves

bool QVMailHandler::moveMessage(const id &message, Destination destination, const QByteArray &fingerprint,
                                const Retry *previous)
{
    Retry next(Work::Move, message);
    next.destination = destination;
    next.fingerprint = fingerprint;
    if (previous) {
        next.inboxOnly = previous->inboxOnly;
        next.wasRead = previous->wasRead;
        next.attempts = previous->attempts;
        next.due = previous->due;
    } else {
        next.inboxOnly = destination == Destination::Junk && answeringVerdict_;
        next.wasRead = QVObjC::send<bool>(message, QStringLiteral("isRead"));
    }
    const id account = object(object(message, "mailbox"), "account");
    if (!QVObjC::isKindOfClass(account, mailClass("MFMailAccount")))
        return false;
    const id target =
        destination == Destination::Junk ? quorvaneMailboxForAccount(account) : inboxMailboxForAccount(account);
    if (!target) {
        moved(next, false);
        return false;
    }
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
        moved(next, result);
        return result;
    }
    QPointer<QVMailHandler> self(this);
    QVDispatch::asyncGlobal([self, message, target, messageID, destination, next] {
        const qint64 result = QVObjC::sendClass<qint64>(mailClass("MFMessageStore"),
                                                        QStringLiteral("copyMessages:toMailbox:shouldDelete:"),
                                                        ObjectList{message}, target, true);
        QVLogPlugin(destination == Destination::Junk
                        ? QStringLiteral("*** Copied message %1 to the spam folder %2 with result: %3")
                        : QStringLiteral("*** Copied message %1 to the inbox %2 with result: %3"),
                    messageID, describe(target), result);
        QVDispatch::asyncMain([self, next, result] {
            if (self)
                self->moved(next, result == 1);
        });
    });
    return true;
}

void QVMailHandler::moved(const Retry &move, bool success)
{
    const id message = move.message.lock();
    if (!message)
        return;
    if (success) {
        if (move.destination == Destination::Junk)
            rememberJunk(message, move.fingerprint);
        else
            forgetJunk(message);
        return;
    }
    // Not done: the host looks for the file again (by its unique name) and
    // the move is tried again while the message still wants it.
    if (move.attempts == 0)
        QVLogPlugin(QStringLiteral("*** ERROR: Could not move %1; it is tried again"), text(message, "messageID"));
    schedule(move);
}

// Retries

void QVMailHandler::schedule(Retry retry)
{
    const id message = retry.message.lock();
    if (!message)
        return;
    const unsigned work = 1u << unsigned(retry.work);
    const auto waiting = waitingWork_.find(retry.message);
    if (waiting != waitingWork_.end() && (waiting->second & work))
        return;  // already waiting
    if (retries_.size() >= kMaximumRetries) {
        QVLogPlugin(QStringLiteral("*** ERROR: Too much work waits for a retry; %1 is left where it is"),
                    text(message, "messageID"));
        return;
    }
    if (retry.due == 0)
        retry.due = now() + kRetryFirstMs;
    waitingWork_[retry.message] |= work;
    retries_.push_back(std::move(retry));
    if (!retryTimer_.isActive() || retryTimer_.remainingTime() > kRetryFirstMs)
        retryTimer_.start(kRetryFirstMs);
}

void QVMailHandler::forget(const Retry &retry)
{
    const auto waiting = waitingWork_.find(retry.message);
    if (waiting != waitingWork_.end() && (waiting->second &= ~(1u << unsigned(retry.work))) == 0)
        waitingWork_.erase(waiting);
}

bool QVMailHandler::stillWanted(const Retry &retry) const
{
    const id message = retry.message.lock();
    if (!message)
        return false;  // gone
    switch (retry.work) {
    case Work::Submit:
    case Work::Repost:
    case Work::AwaitRescue: return isWaitingForVerdict(message);
    case Work::Move:
        if (!retry.wasRead && QVObjC::send<bool>(message, QStringLiteral("isRead")))
            return false;  // read since: the user has seen it
        if (retry.inboxOnly)
            return isInboxMessage(message);  // a verdict's move: filed elsewhere meanwhile
        return retry.destination == Destination::Junk ? !isMessageInQuorvaneFolder(message)
                                                      : isMessageInQuorvaneFolder(message);
    }
    return false;
}

void QVMailHandler::runRetries()
{
    const qint64 time = now();
    const auto firstDue =
        std::stable_partition(retries_.begin(), retries_.end(), [time](const Retry &r) { return r.due > time; });
    std::vector<Retry> due(std::make_move_iterator(firstDue), std::make_move_iterator(retries_.end()));
    retries_.erase(firstDue, retries_.end());
    for (const Retry &retry : due)
        forget(retry);
    for (Retry &retry : due) {
        if (!stillWanted(retry))
            continue;
        const id message = retry.message.lock();
        ++retry.attempts;
        retry.due = time + std::min(kRetryCeilingMs, kRetryFirstMs << std::min(retry.attempts, 6));
        switch (retry.work) {
        case Work::Submit:
            if (submit(message, true) == Submission::Unreadable)
                schedule(std::move(retry));
            break;
        case Work::Repost: {
            // In place of the post that was dropped: its entry stays. The
            // drop names only a Message-ID, so every message waiting under it
            // is posted again; a second post is counted, and different
            // messages sharing the ID then move only once every post of
            // theirs came back as spam.
            const QVariantMap info = messageUserInfo(message, qsizetype(kQVMessageBodyLimit));
            if (info.isEmpty() || !post(kQVPluginDidReceiveNewMessageNotification, info))
                schedule(std::move(retry));
            else
                pending_.reposted(QVPendingAnswers::Kind::Verdict, info.value(kMessageIDKey).toString(), message);
            break;
        }
        case Work::AwaitRescue:
            switch (junkTwin(retry.fingerprint, true)) {
            case Twin::Left:
                QVLogPlugin(QStringLiteral("*** %1 was taken out of the spam folder; it is not judged again"),
                            text(message, "messageID"));
                break;
            case Twin::InJunk:
                if (time < retry.deadline) {
                    retry.due = time + kRetryFirstMs;
                    schedule(std::move(retry));
                    break;
                }
                [[fallthrough]];
            case Twin::None:
                if (submit(message, false) == Submission::Unreadable)
                    schedule(Retry(Work::Submit, message));
                break;
            }
            break;
        case Work::Move:
            // A failure schedules the next try itself.
            moveMessage(message, retry.destination, retry.fingerprint, &retry);
            break;
        }
    }
    if (!retries_.empty()) {
        qint64 next = retries_.front().due;
        for (const Retry &retry : retries_)
            next = std::min(next, retry.due);
        retryTimer_.start(int(std::clamp<qint64>(next - now(), 0, kRetryCeilingMs)));
    }
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

// New messages

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
        // A file that could not be read (moved meanwhile) is read again
        // once the host has found it.
        if (submit(message, true) == Submission::Unreadable)
            schedule(Retry(Work::Submit, message));
    }
}

QVMailHandler::Submission QVMailHandler::submit(const id &message, bool checkRescue)
{
    const QVariantMap info = messageUserInfo(message, qsizetype(kQVMessageBodyLimit));
    if (info.isEmpty()) {
        QVLogPlugin(QStringLiteral("*** Could not read %1 now; it is read again later"), text(message, "messageID"));
        return Submission::Unreadable;
    }
    // Hashed once: for the rescue check and for the answer's match.
    const QByteArray digest = fingerprint(info);
    if (checkRescue) {
        switch (junkTwin(digest, true)) {
        case Twin::Left:
            QVLogPlugin(QStringLiteral("*** %1 was taken out of the spam folder; it is not judged again"),
                        text(message, "messageID"));
            return Submission::Rescued;
        case Twin::InJunk: {
            // Its twin may be about to leave the junk folder (a copy, then
            // a delete): only then is it a rescue.
            Retry wait(Work::AwaitRescue, message);
            wait.fingerprint = digest;
            wait.deadline = now() + kRescueWaitMs;
            schedule(std::move(wait));
            return Submission::Deferred;
        }
        case Twin::None: break;
        }
    }
    QVLogPlugin(QStringLiteral("*** PROCESSING: %1"), text(message, "messageID"));
    if (!post(kQVPluginDidReceiveNewMessageNotification, info))
        return Submission::NotPosted;
    rememberRequest(QVPendingAnswers::Kind::Verdict, message, info, digest);
    return Submission::Posted;
}

bool QVMailHandler::isWaitingForVerdict(const id &message) const
{
    return isInboxMessage(message) && !QVObjC::send<bool>(message, QStringLiteral("isRead"));
}

void QVMailHandler::applicationAppeared()
{
    // Everything posted since it last appeared, and still unread in an
    // inbox, may have been lost with it (a verdict of not spam has no
    // answer, so the judged ones cannot be told apart): posted again. A
    // second verdict moves nothing twice; the first one took the entry.
    const auto posted = pending_.addedAfter(QVPendingAnswers::Kind::Verdict, postedBeforeApplication_);
    postedBeforeApplication_ = pending_.lastSequence();
    int again = 0;
    for (const auto &[messageID, message] : posted) {
        if (!isWaitingForVerdict(message))
            continue;
        const QVariantMap info = messageUserInfo(message, qsizetype(kQVMessageBodyLimit));
        if (info.isEmpty())
            continue;
        if (post(kQVPluginDidReceiveNewMessageNotification, info)) {
            pending_.reposted(QVPendingAnswers::Kind::Verdict, messageID, message);
            ++again;
        }
    }
    if (again > 0)
        QVLogPlugin(QStringLiteral("*** The application started again; %1 messages are posted again"), again);
    postedBeforeApplication_ = pending_.lastSequence();
}

// Answers

QVPendingAnswers::Answer QVMailHandler::answeredMessage(const QVDistributedNotification &notification,
                                                        const QString &logFormat, QVPendingAnswers::Kind kind,
                                                        const std::function<bool(const id &)> &waiting)
{
    const QString messageID = notification.stringValue(kMessageIDKey);
    QVLogPlugin(logFormat, messageID);
    if (messageID.isEmpty())
        return {};
    QVPendingAnswers::Answer answer = pending_.take(kind, messageID, waiting);
    switch (answer.outcome) {
    case QVPendingAnswers::Outcome::Found: return answer;
    case QVPendingAnswers::Outcome::Ambiguous:
        QVLogPlugin(QStringLiteral("*** Different messages wait under the Message-ID %1; none is moved before each "
                                   "has its answer"),
                    messageID);
        return {};
    case QVPendingAnswers::Outcome::None:
        QVLogPlugin(QStringLiteral("*** No message posted under the Message-ID %1 waits for this answer"), messageID);
        return {};
    }
    return {};
}

void QVMailHandler::spamDetectedNotification(const QVDistributedNotification &notification)
{
    // Only a message still in an inbox, read or not: the user may have filed
    // it meanwhile.
    const auto answer =
        answeredMessage(notification, QStringLiteral("*** DETECTED AS SPAM: %1"), QVPendingAnswers::Kind::Verdict,
                        [this](const id &m) { return isInboxMessage(m); });
    answeringVerdict_ = true;
    for (size_t i = 0; i < answer.messages.size(); ++i)
        moveMessage(answer.messages[i], Destination::Junk, answer.fingerprints[i]);
    answeringVerdict_ = false;
}

void QVMailHandler::letterBlockedNotification(const QVDistributedNotification &notification)
{
    const auto answer = answeredMessage(notification, QStringLiteral("*** BLOCKED: %1"), QVPendingAnswers::Kind::Block,
                                        [](const id &) { return true; });
    for (size_t i = 0; i < answer.messages.size(); ++i)
        moveMessage(answer.messages[i], Destination::Junk, answer.fingerprints[i]);
}

void QVMailHandler::letterUnblockedNotification(const QVDistributedNotification &notification)
{
    const auto answer =
        answeredMessage(notification, QStringLiteral("*** UNBLOCKED: %1"), QVPendingAnswers::Kind::Unblock,
                        [this](const id &m) { return isMessageInQuorvaneFolder(m); });
    for (const id &message : answer.messages)
        moveMessage(message, Destination::Inbox, QByteArray());
}

void QVMailHandler::messageDroppedNotification(const QVDistributedNotification &notification)
{
    // The application's queue was full: the messages posted under that
    // Message-ID that still wait are posted again a little later.
    const QString messageID = notification.stringValue(kMessageIDKey);
    if (messageID.isEmpty())
        return;
    for (const id &message : pending_.messages(QVPendingAnswers::Kind::Verdict, messageID)) {
        Retry again(Work::Repost, message);
        again.due = now() + kRepostDelayMs;
        schedule(std::move(again));
    }
}
