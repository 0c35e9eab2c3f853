// The plug-in's core inside the mail host: submits every new unread inbox
// message to the application for a verdict, and moves messages into or out
// of the account's junk mailbox "Quorvane" when the application answers.
// Host objects are reached through the object runtime only.
#pragma once

#include "QVObjectRuntime.h"
#include "QVPendingAnswers.h"

#include <QHash>
#include <QObject>
#include <QTimer>
#include <QVariantMap>

#include <deque>
#include <map>
#include <memory>
#include <vector>

class QDBusServiceWatcher;

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
    // missing value. Empty when the message's file cannot be read now.
    static QVariantMap messageUserInfo(const QVObjC::id &message, qsizetype bodyLimit);
    // The Message-ID as it travels: one that the bus or the application
    // cannot carry (a NUL, more than kLongestMessageID characters) is
    // replaced by a digest of itself, so that its answer still comes back.
    static QString travellingMessageID(const QString &messageID);
    static constexpr qsizetype kLongestMessageID = 64 * 1024;

    QVMailHandler();
    ~QVMailHandler() override;

    void subscribeForNotifications();
    void unsubscribeForNotifications();

    // Asks the launch agent to start the application when it is not
    // running, then gives it one second.
    void launchCore();

    bool isInboxMessage(const QVObjC::id &message) const;
    bool isMessageInQuorvaneFolder(const QVObjC::id &message) const;
    // An unread inbox message: one that is submitted.
    bool isWaitingForVerdict(const QVObjC::id &message) const;
    QVObjC::id quorvaneMailboxForAccount(const QVObjC::id &account);
    QVObjC::id inboxMailboxForAccount(const QVObjC::id &account) const;
    QVObjC::id availableMessageViewer() const;

    // Remembers a message posted for an answer (the user info as posted):
    // only a remembered message is moved by an answer.
    // `digest`: the fingerprint of userInfo when the caller has it already.
    void rememberRequest(QVPendingAnswers::Kind kind, const QVObjC::id &message, const QVariantMap &userInfo,
                         QByteArray digest = QByteArray());
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
    void messageDroppedNotification(const QVDistributedNotification &notification);

    // How long a new message that has a byte-identical twin in the junk
    // folder waits for that twin to leave (then it was taken out of the junk
    // folder, and is not judged again) before it is judged as new mail.
    static constexpr int kRescueWaitMs = 3000;
    // How long a request that the application dropped waits to be posted
    // again (in place of the dropped one).
    static constexpr int kRepostDelayMs = 1000;

private:
    enum class Destination { Junk, Inbox };
    // Whether the host moved the message; without a viewer the result comes
    // later on the global queue, and a failure is retried from there.
    struct Retry;
    // `previous`: the failed try this one repeats.
    bool moveMessage(const QVObjC::id &message, Destination destination, const QByteArray &fingerprint,
                     const Retry *previous = nullptr);
    void moved(const Retry &move, bool success);
    void processAddedMessages(const QVariantMap &userInfo);
    // Posts a new message for a verdict, unless it is a rescue; false when
    // its file could not be read.
    enum class Submission { Posted, Rescued, Deferred, Unreadable, NotPosted };
    Submission submit(const QVObjC::id &message, bool checkRescue);
    // The message the answer is for, after logging; null when no message
    // posted under that Message-ID waits for it.
    QVPendingAnswers::Answer answeredMessage(const QVDistributedNotification &notification, const QString &logFormat,
                                             QVPendingAnswers::Kind kind,
                                             const std::function<bool(const QVObjC::id &)> &waiting);

    // Work tried again later: a submission whose file could not be read, a
    // move that failed, a new message whose twin still lies in the junk
    // folder, a request the application dropped.
    enum class Work { Submit, Repost, Move, AwaitRescue };
    struct Retry {
        Retry(Work what, const QVObjC::id &of) : work(what), message(of) {}
        Work work;
        QVObjC::weak_id message;
        Destination destination = Destination::Junk;
        QByteArray fingerprint;
        bool wasRead = false;
        bool inboxOnly = false;  // a verdict's move: only while in the inbox
        int attempts = 0;
        qint64 due = 0;  // ms since epoch
        qint64 deadline = 0;  // AwaitRescue only
    };
    void schedule(Retry retry);
    void runRetries();
    bool stillWanted(const Retry &retry) const;

    // Messages moved into the junk folder, by the digest of the bytes that
    // were posted for them: a new file with those bytes in the inbox is the
    // same message taken out of the junk folder once its twin there is gone.
    void rememberJunk(const QVObjC::id &message, const QByteArray &fingerprint);
    void forgetJunk(const QVObjC::id &message);
    enum class Twin { None, InJunk, Left };
    // With `take`, a twin that left is forgotten (one rescue per twin).
    Twin junkTwin(const QByteArray &fingerprint, bool take);
    static QByteArray fingerprint(const QVariantMap &userInfo);

    // The application came (back): what it had not judged is posted again.
    void applicationAppeared();

    QVPendingAnswers pending_;
    QHash<QByteArray, std::vector<QVObjC::weak_id>> junk_;
    std::deque<QByteArray> junkOrder_;
    std::vector<Retry> retries_;
    // The kinds of work (bits of Work) waiting in retries_ for each message,
    // so that scheduling a burst of retries stays linear.
    std::map<QVObjC::weak_id, unsigned, std::owner_less<QVObjC::weak_id>> waitingWork_;
    void forget(const Retry &retry);
    QTimer retryTimer_;
    bool answeringVerdict_ = false;
    QDBusServiceWatcher *applicationWatcher_ = nullptr;
    bool applicationRunning_ = false;  // its bus name is owned
    // Verdict requests numbered above this were posted after the
    // application last appeared.
    quint64 postedBeforeApplication_ = 0;
};
