// The application's end of the plug-in's requests: verdicts, reports,
// revocations and list additions, each answered (when it is answered) by a
// notification carrying the request's Message-ID.
#pragma once

#include <QObject>

class QVDistributedNotificationCenter;
struct QVDistributedNotification;
class QVMailList;
class QVSpamManager;

class QVSpamNotificationHandler final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(QVSpamNotificationHandler)

public:
    // Subscribes at once; the manager owns the handler.
    QVSpamNotificationHandler(QVSpamManager *manager, QVDistributedNotificationCenter *center,
                              QObject *parent = nullptr);
    ~QVSpamNotificationHandler() override;

    void subscribeForNotifications();
    void unsubscribeForNotifications();

    void messageDidRecieveNotification(const QVDistributedNotification &notification);
    void messageShouldBeBlockedNotification(const QVDistributedNotification &notification);
    void messageShouldBeUnblockedNotification(const QVDistributedNotification &notification);
    void messageShouldAddAddressToBlackListNotification(const QVDistributedNotification &notification);
    void messageShouldAddDomainToBlackListNotification(const QVDistributedNotification &notification);
    void messageShouldAddAddressToWhiteListNotification(const QVDistributedNotification &notification);
    void messageShouldAddDomainToWhiteListNotification(const QVDistributedNotification &notification);

private:
    void answer(const char *name, const QString &messageID);
    void addToList(QVMailList *list, const QVDistributedNotification &notification, const char *key);

    QVSpamManager *manager_;
    QVDistributedNotificationCenter *center_;
};
