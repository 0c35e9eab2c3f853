#include "QVSpamNotificationHandler.h"

#include "QVDistributedNotificationCenter.h"
#include "QVLogger.h"
#include "QVMailList.h"
#include "QVNotificationProtocol.h"
#include "QVSpamManager.h"

#include <QCoreApplication>

namespace {

const QString kMessage = QString::fromLatin1(kQVUserInfoMessageKey);
const QString kMessageID = QString::fromLatin1(kQVUserInfoMessageIDKey);
const QString kAddress = QString::fromLatin1(kQVUserInfoAddressKey);
const QString kDomain = QString::fromLatin1(kQVUserInfoDomainKey);

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
    subscribeForNotifications();
}

QVSpamNotificationHandler::~QVSpamNotificationHandler()
{
    unsubscribeForNotifications();
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
                             [this, member](const QVDistributedNotification &n) { (this->*member)(n); });
    }
}

void QVSpamNotificationHandler::unsubscribeForNotifications()
{
    if (center_)
        center_->removeObserver(this);
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
    QVLogCore(QStringLiteral("*** CHECKING FOR SPAM: %1"), messageID);
    if (manager_->isSpamForMessageData(notification.dataValue(kMessage), messageID, notification.stringValue(kAddress),
                                       notification.stringValue(kDomain))) {
        QVLogCore(QStringLiteral("*** DETECTED SPAM: %1"), messageID);
        answer(kQVClientDidDetermineSpamNotification, messageID);
    } else {
        QVLogCore(QStringLiteral("*** DETECTED NOT SPAM: %1"), messageID);
    }
}

void QVSpamNotificationHandler::messageShouldBeBlockedNotification(const QVDistributedNotification &notification)
{
    if (!isCompleteMessageRequest(notification))
        return;
    const QString messageID = notification.stringValue(kMessageID);
    QVLogCore(QStringLiteral("*** BLOCKING: %1"), messageID);
    if (manager_->reportSpamForData(notification.dataValue(kMessage))) {
        QVLogCore(QStringLiteral("*** BLOCKED: %1"), messageID);
        answer(kQVClientDidBlockLetterNotification, messageID);
    } else {
        QVLogCore(QStringLiteral("*** BLOCKING FAILED: %1"), messageID);
    }
}

void QVSpamNotificationHandler::messageShouldBeUnblockedNotification(const QVDistributedNotification &notification)
{
    if (!isCompleteMessageRequest(notification))
        return;
    const QString messageID = notification.stringValue(kMessageID);
    QVLogCore(QStringLiteral("*** UNBLOCKING: %1"), messageID);
    if (manager_->revokeSpamForData(notification.dataValue(kMessage))) {
        QVLogCore(QStringLiteral("*** UNBLOCKED: %1"), messageID);
        answer(kQVClientDidUnblockLetterNotification, messageID);
    } else {
        QVLogCore(QStringLiteral("*** UNBLOCKING FAILED: %1"), messageID);
    }
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
