#include "QVSpamNotificationHandler.h"

#include "QVLogger.h"
#include "QVMailList.h"
#include "QVNotificationProtocol.h"
#include "QVSpamManager.h"
#include "qvse_types.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QPointer>

namespace {

const QString kMessage = QString::fromLatin1(kQVUserInfoMessageKey);
const QString kMessageID = QString::fromLatin1(kQVUserInfoMessageIDKey);
const QString kAddress = QString::fromLatin1(kQVUserInfoAddressKey);
const QString kDomain = QString::fromLatin1(kQVUserInfoDomainKey);

// How long one pass of the event loop may spend on waiting requests before
// the loop gets its turn again (a verdict that waits for the servers takes
// longer on its own).
constexpr qint64 kHandlingSliceMs = 10;

// Text from the bus as the log shows it: the logger escapes control
// characters; a sender's huge value is cut.
QString shown(const QString &text)
{
    constexpr qsizetype kLongest = 512;
    if (text.size() <= kLongest)
        return text;
    return text.left(kLongest) + QStringLiteral("... (%1 characters)").arg(text.size());
}

// A message request lacking its bytes or its id cannot be answered usefully.
bool isCompleteMessageRequest(const QVDistributedNotification &notification)
{
    if (notification.contains(kMessage) && !notification.stringValue(kMessageID).isEmpty())
        return true;
    QVLogCore(QCoreApplication::translate("QVSpamNotificationHandler", "*** IGNORED %1: no message or message id"),
              notification.name);
    return false;
}

}  // namespace

QVSpamNotificationHandler::QVSpamNotificationHandler(QVSpamManager *manager, QVDistributedNotificationCenter *center,
                                                     QObject *parent)
    : QObject(parent), manager_(manager), center_(center)
{
    // A block or unblock that waited for a free place goes on.
    connect(manager_, &QVSpamManager::networkRequestCompleted, this, &QVSpamNotificationHandler::scheduleHandling);
    subscribeForNotifications();
}

QVSpamNotificationHandler::~QVSpamNotificationHandler()
{
    dropPendingRequests();
}

void QVSpamNotificationHandler::subscribeForNotifications()
{
    if (!center_)
        return;
    using Member = void (QVSpamNotificationHandler::*)(const QVDistributedNotification &);
    const std::pair<const char *, Member> observations[] = {
        {kQVPluginDidReceiveNewMessageNotification, &QVSpamNotificationHandler::messageDidRecieveNotification},
        {kQVPluginBlockMessageNotification, &QVSpamNotificationHandler::messageShouldBeBlockedNotification},
        {kQVPluginUnblockMessageNotification, &QVSpamNotificationHandler::messageShouldBeUnblockedNotification},
        {kQVPluginAddAddressToBlackListNotification,
         &QVSpamNotificationHandler::messageShouldAddAddressToBlackListNotification},
        {kQVPluginAddDomainToBlackListNotification,
         &QVSpamNotificationHandler::messageShouldAddDomainToBlackListNotification},
        {kQVPluginAddAddressToWhiteListNotification,
         &QVSpamNotificationHandler::messageShouldAddAddressToWhiteListNotification},
        {kQVPluginAddDomainToWhiteListNotification,
         &QVSpamNotificationHandler::messageShouldAddDomainToWhiteListNotification},
    };
    for (const auto &observation : observations) {
        const Member member = observation.second;
        center_->addObserver(this, QString::fromLatin1(observation.first),
                             [this, member](const QVDistributedNotification &n) { receive(member, n); });
    }
}

void QVSpamNotificationHandler::unsubscribeForNotifications()
{
    if (center_)
        center_->removeObserver(this);
}

void QVSpamNotificationHandler::receive(Member member, const QVDistributedNotification &notification)
{
    const qsizetype messageSize = notification.dataValue(kMessage).size();
    if (messageSize > kMaximumMessageSize) {
        QVLogCore(QCoreApplication::translate("QVSpamNotificationHandler",
                                              "*** REFUSED %1: %2: a message of %3 bytes, more than %4"),
                  notification.name, shown(notification.stringValue(kMessageID)), messageSize, kMaximumMessageSize);
        return;
    }
    // What the request holds while it waits.
    qsizetype bytes = messageSize;
    for (const QVariant &value : notification.userInfo) {
        if (value.userType() != QMetaType::QString)
            continue;
        const qsizetype length = value.toString().size();
        if (length > kMaximumTextLength) {
            QVLogCore(QCoreApplication::translate("QVSpamNotificationHandler",
                                                  "*** REFUSED %1: a value of %2 characters, more than %3"),
                      notification.name, length, kMaximumTextLength);
            return;
        }
        bytes += length * qsizetype(sizeof(QChar));
    }
    if (waitingRequestCount() >= kMaximumWaitingRequests || waitingBytes_ + bytes > kMaximumWaitingBytes) {
        if (overflow_++ == 0)
            QVLogCore(QCoreApplication::translate("QVSpamNotificationHandler",
                                                  "*** DROPPING requests: %1 are waiting already"),
                      waitingRequestCount());
        // The plug-in posts a dropped verdict request again later, so a
        // burst loses no verdict.
        if (member == &QVSpamNotificationHandler::messageDidRecieveNotification)
            answer(kQVClientDidDropMessageNotification, notification.stringValue(kMessageID));
        return;
    }
    waiting_.push_back({member, notification, bytes});
    waitingBytes_ += bytes;
    scheduleHandling();
}

void QVSpamNotificationHandler::scheduleHandling()
{
    if (handlingScheduled_ || waiting_.empty())
        return;
    handlingScheduled_ = true;
    // Queued: it runs in a later pass of the event loop than the one that
    // delivered the request, after whatever else that pass had.
    QMetaObject::invokeMethod(this, &QVSpamNotificationHandler::handleWaitingRequests, Qt::QueuedConnection);
}

void QVSpamNotificationHandler::handleWaitingRequests()
{
    handlingScheduled_ = false;
    QElapsedTimer slice;
    slice.start();
    while (!waiting_.empty() && slice.elapsed() < kHandlingSliceMs) {
        // Requests keep their order: the next message, block or unblock,
        // and all behind it, wait while the servers have enough to answer.
        const Member next = waiting_.front().member;
        if ((next == &QVSpamNotificationHandler::messageDidRecieveNotification
             || next == &QVSpamNotificationHandler::messageShouldBeBlockedNotification
             || next == &QVSpamNotificationHandler::messageShouldBeUnblockedNotification)
            && manager_->requestsInFlight() >= QVSpamManager::kMaximumRequestsInFlight)
            return;
        WaitingRequest request = std::move(waiting_.front());
        waiting_.pop_front();
        waitingBytes_ -= request.bytes;
        (this->*request.member)(request.notification);
    }
    if (waiting_.empty() && overflow_ > 0) {
        QVLogCore(QCoreApplication::translate("QVSpamNotificationHandler",
                                              "*** DROPPED %1 requests that came while the queue was full"),
                  overflow_);
        overflow_ = 0;
    }
    scheduleHandling();
}

void QVSpamNotificationHandler::dropPendingRequests()
{
    unsubscribeForNotifications();
    if (!waiting_.empty())
        QVLogCore(QCoreApplication::translate("QVSpamNotificationHandler",
                                              "*** DROPPED %1 requests not handled before the quit"),
                  waitingRequestCount());
    waiting_.clear();
    waitingBytes_ = 0;
    overflow_ = 0;
}

void QVSpamNotificationHandler::answer(const char *name, const QString &messageID)
{
    if (center_)
        center_->postNotificationName(QString::fromLatin1(name), {{kMessageID, messageID}});
}

void QVSpamNotificationHandler::messageDidRecieveNotification(const QVDistributedNotification &notification)
{
    if (!isCompleteMessageRequest(notification))
        return;
    const QString messageID = notification.stringValue(kMessageID);
    QVLogCore(QStringLiteral("*** CHECKING FOR SPAM: %1"), shown(messageID));
    const quint64 sequence = firstVerdict_ + verdicts_.size();
    verdicts_.push_back({messageID, std::nullopt});
    manager_->determineSpamForMessageData(notification.dataValue(kMessage), messageID,
                                          notification.stringValue(kAddress), notification.stringValue(kDomain),
                                          [handler = QPointer(this), sequence](bool spam) {
                                              if (handler)
                                                  handler->verdictReached(sequence, spam);
                                          });
}

void QVSpamNotificationHandler::verdictReached(quint64 sequence, bool spam)
{
    if (sequence < firstVerdict_ || sequence - firstVerdict_ >= verdicts_.size())
        return;
    verdicts_[sequence - firstVerdict_].spam = spam;
    while (!verdicts_.empty() && verdicts_.front().spam) {
        const Verdict verdict = std::move(verdicts_.front());
        verdicts_.pop_front();
        ++firstVerdict_;
        if (*verdict.spam) {
            QVLogCore(QStringLiteral("*** DETECTED SPAM: %1"), shown(verdict.messageID));
            answer(kQVClientDidDetermineSpamNotification, verdict.messageID);
        } else {
            QVLogCore(QStringLiteral("*** DETECTED NOT SPAM: %1"), shown(verdict.messageID));
        }
    }
}

void QVSpamNotificationHandler::messageShouldBeBlockedNotification(const QVDistributedNotification &notification)
{
    sendRequest(Request::Report, notification);
}

void QVSpamNotificationHandler::messageShouldBeUnblockedNotification(const QVDistributedNotification &notification)
{
    sendRequest(Request::Revoke, notification);
}

// The answer goes out once the server has learned the report or revoke; a
// request that failed, or that the server did not confirm by the deadline,
// is logged with its status and not answered.
void QVSpamNotificationHandler::sendRequest(Request request, const QVDistributedNotification &notification)
{
    if (!isCompleteMessageRequest(notification))
        return;
    const bool report = request == Request::Report;
    const QString messageID = notification.stringValue(kMessageID);
    QVLogCore(report ? QStringLiteral("*** BLOCKING: %1") : QStringLiteral("*** UNBLOCKING: %1"), shown(messageID));
    const auto completed = [handler = QPointer(this), report, messageID](uint32_t status) {
        if (!handler)
            return;
        if (status != QVSE_OK) {
            QVLogCore(report ? QStringLiteral("*** BLOCKING FAILED: %1, status %2")
                             : QStringLiteral("*** UNBLOCKING FAILED: %1, status %2"),
                      shown(messageID), QString::number(status, 16));
            return;
        }
        QVLogCore(report ? QStringLiteral("*** BLOCKED: %1") : QStringLiteral("*** UNBLOCKED: %1"), shown(messageID));
        handler->answer(report ? kQVClientDidBlockLetterNotification : kQVClientDidUnblockLetterNotification,
                        messageID);
    };
    const QByteArray message = notification.dataValue(kMessage);
    const bool sent =
        report ? manager_->reportSpamForData(message, completed) : manager_->revokeSpamForData(message, completed);
    if (!sent)
        QVLogCore(report ? QStringLiteral("*** BLOCKING FAILED: %1") : QStringLiteral("*** UNBLOCKING FAILED: %1"),
                  shown(messageID));
}

void QVSpamNotificationHandler::addToList(QVMailList *list, const QVDistributedNotification &notification,
                                          const char *key)
{
    const QString value = notification.stringValue(QString::fromLatin1(key));
    if (value.trimmed().isEmpty()) {
        // An empty entry would match every sender without "@".
        QVLogCore(QCoreApplication::translate("QVSpamNotificationHandler", "*** IGNORED %1: empty %2"),
                  notification.name, QString::fromLatin1(key));
        return;
    }
    list->addItem(value);
}

void QVSpamNotificationHandler::messageShouldAddAddressToBlackListNotification(
    const QVDistributedNotification &notification)
{
    addToList(manager_->blackList(), notification, kQVUserInfoAddressKey);
}

void QVSpamNotificationHandler::messageShouldAddDomainToBlackListNotification(
    const QVDistributedNotification &notification)
{
    addToList(manager_->blackList(), notification, kQVUserInfoDomainKey);
}

void QVSpamNotificationHandler::messageShouldAddAddressToWhiteListNotification(
    const QVDistributedNotification &notification)
{
    addToList(manager_->whiteList(), notification, kQVUserInfoAddressKey);
}

void QVSpamNotificationHandler::messageShouldAddDomainToWhiteListNotification(
    const QVDistributedNotification &notification)
{
    addToList(manager_->whiteList(), notification, kQVUserInfoDomainKey);
}
