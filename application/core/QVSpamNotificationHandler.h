// The application's end of the plug-in's requests: verdicts, reports,
// revocations and list additions, each answered (when it is answered) by a
// notification carrying the request's Message-ID.
//
// Requests arrive faster than verdicts can be given, so they wait in a
// queue of bounded size and are handled in order, a few milliseconds' worth
// per pass of the event loop: a quit, a window or a signal never waits for
// the whole queue. Requests still waiting when the application quits are
// dropped (their messages stay where they are, unjudged).
//
// Nothing here waits for the servers: a verdict's lookup runs on the
// engine's network thread while the event loop goes on, several at once,
// and the verdicts are answered in the order their requests came.
#pragma once

#include "QVDistributedNotificationCenter.h"

#include <QObject>
#include <QString>

#include <cstdint>
#include <deque>
#include <optional>

class QVMailList;
class QVSpamManager;

class QVSpamNotificationHandler final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(QVSpamNotificationHandler)

public:
    // Above the plug-in's largest request (an unblock: the header and a
    // million body bytes); larger "Message" values are refused.
    static constexpr qsizetype kMaximumMessageSize = 2 * 1024 * 1024;
    // A Message-ID, an address or a domain longer than this is no such
    // thing; the request is refused.
    static constexpr qsizetype kMaximumTextLength = 64 * 1024;
    // What may wait at once; a request beyond either bound is dropped.
    static constexpr qsizetype kMaximumWaitingRequests = 10'000;
    static constexpr qsizetype kMaximumWaitingBytes = 64 * 1024 * 1024;

    // Subscribes at once; the manager owns the handler.
    QVSpamNotificationHandler(QVSpamManager *manager, QVDistributedNotificationCenter *center,
                              QObject *parent = nullptr);
    ~QVSpamNotificationHandler() override;

    void subscribeForNotifications();
    void unsubscribeForNotifications();

    // Requests received and not handled yet.
    qsizetype waitingRequestCount() const { return static_cast<qsizetype>(waiting_.size()); }
    // Unsubscribes and forgets the waiting requests, with one log line
    // naming how many.
    void dropPendingRequests();

    // The handlers themselves, run in order from the queue. "Recieve": the
    // name the plug-in's protocol gives the selector; kept.
    void messageDidRecieveNotification(const QVDistributedNotification &notification);
    void messageShouldBeBlockedNotification(const QVDistributedNotification &notification);
    void messageShouldBeUnblockedNotification(const QVDistributedNotification &notification);
    void messageShouldAddAddressToBlackListNotification(const QVDistributedNotification &notification);
    void messageShouldAddDomainToBlackListNotification(const QVDistributedNotification &notification);
    void messageShouldAddAddressToWhiteListNotification(const QVDistributedNotification &notification);
    void messageShouldAddDomainToWhiteListNotification(const QVDistributedNotification &notification);

private:
    using Member = void (QVSpamNotificationHandler::*)(const QVDistributedNotification &);
    struct WaitingRequest {
        Member member;
        QVDistributedNotification notification;
        qsizetype bytes;
    };
    enum class Request { Report, Revoke };

    void receive(Member member, const QVDistributedNotification &notification);
    void handleWaitingRequests();
    void scheduleHandling();
    void sendRequest(Request request, const QVDistributedNotification &notification);
    void answer(const char *name, const QString &messageID);
    void addToList(QVMailList *list, const QVDistributedNotification &notification, const char *key);
    // The verdict numbered `sequence` is known; answers every verdict at
    // the front that is known, in order.
    void verdictReached(quint64 sequence, bool spam);

    QVSpamManager *manager_;
    QVDistributedNotificationCenter *center_;
    std::deque<WaitingRequest> waiting_;
    qsizetype waitingBytes_ = 0;
    bool handlingScheduled_ = false;
    // Requests dropped since the queue was last empty.
    qsizetype overflow_ = 0;
    // Verdicts asked for and not yet answered, in the order of their
    // requests; the front one is numbered firstVerdict_.
    struct Verdict {
        QString messageID;
        std::optional<bool> spam;
    };
    std::deque<Verdict> verdicts_;
    quint64 firstVerdict_ = 0;
};
