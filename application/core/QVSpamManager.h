// The application's one owner of the engine and of the user's three lists.
// It answers the plug-in's question (is this message spam) from the allow
// list, the block list, the language choices and the engine's score, and
// reports and revokes messages to the classification servers.
//
// The manager, its lists and its notification handler always exist; the
// engine is optional. When it cannot be started the lists still decide,
// engine work fails with a log line and the start is tried again at the
// next engine use, at most once a minute.
#pragma once

#include "QVEngineAPI.h"
#include "QVLanguageList.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QVDistributedNotificationCenter;
class QVMailList;
class QVSpamNotificationHandler;

class QVSpamManager final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(QVSpamManager)

public:
    // Made on first use with the gateway's engine, the program's folder as
    // the engine directory and the session bus; main thread only.
    static QVSpamManager *sharedInstance();
    // Destroys the shared instance, which shuts the engine down.
    static void shutDown();
    // The application is quitting: the shared instance drops the requests
    // still waiting and takes no more, so that nothing starts meanwhile.
    static void stopTakingRequests();

    // The deadline of a verdict's lookup, which blocks the main thread.
    static constexpr std::chrono::milliseconds kLookupDeadline{5000};
    // The deadline of a report or revoke: long enough for a retry on a
    // second server, short enough that quitting never waits long for one.
    static constexpr std::chrono::milliseconds kRequestDeadline{1500};
    // Reports, revokes and verdict lookups sent and not yet ended, at most;
    // each holds its message until the server answered.
    static constexpr qsizetype kMaximumRequestsInFlight = 32;
    // The identity kind of the account's user number in the credential.
    static constexpr uint32_t kUserIdentityKind = 10;

    QVSpamManager(std::unique_ptr<QVEngineAPI> engine, QString engineDirectory, QString backendHost,
                  QVDistributedNotificationCenter *center, QObject *parent = nullptr);
    // Drops the requests not yet handled, waits (at most a little longer
    // than kRequestDeadline, whatever the servers do) for the reports,
    // revokes and lookups in flight, then shuts the engine down. A lookup
    // that outlasts the wait is left to the engine, which then stays up.
    ~QVSpamManager() override;

    QVMailList *blackList() const { return blackList_; }
    QVMailList *whiteList() const { return whiteList_; }
    QVLanguageList &languageList() const { return *languageList_; }
    QVSpamNotificationHandler *notificationHandler() const { return notificationHandler_; }

    bool isEngineRunning() const { return engineRunning_; }
    // How long a failed engine start keeps the next one from being tried
    // (a minute).
    void setEngineRetryIntervalForTesting(std::chrono::milliseconds interval);

    // The account's user number (0 when there is none) and the machine
    // identifier: the credential of every network request.
    qint64 userIDIdentity() const;
    QString secretKey() const;

    // The engine's judgement of the message. Each out pointer may be null;
    // usage receives the user's choice for the message's language.
    bool getSpamProbabilityForData(const QByteArray &message, uint32_t *score, bool *whitelisted, bool *blacklisted,
                                   QVLanguageUsage *languageUsageType);

    // How a report or revoke ended: QVSE_OK when the server learned it,
    // else the engine's status. Called once, on the main thread.
    using RequestCompletion = std::function<void(uint32_t status)>;
    // Sends the report or revoke without waiting for the server; false, with
    // a log line, when it could not be sent (completion is then never
    // called).
    bool reportSpamForData(const QByteArray &message, RequestCompletion completion = {});
    bool revokeSpamForData(const QByteArray &message, RequestCompletion completion = {});
    // Main thread: the engine ended some asynchronous requests.
    static void collectCompletedRequests();
    // Reports, revokes and verdict lookups sent and not yet ended.
    qsizetype requestsInFlight() const { return static_cast<qsizetype>(inFlight_.size()); }

    // The verdict: allow list, block list, then the engine. Waits for the
    // servers (up to kLookupDeadline).
    bool isSpamForMessageData(const QByteArray &message, const QString &messageID, const QString &address,
                              const QString &domain);

    // The same verdict without waiting for the servers: the lists decide at
    // once; otherwise the message is bound and prepared here, the engine
    // looks it up on its network thread, and `completion` gets the verdict
    // on the main thread once the lookup ended (called at once when the
    // lists decide or the engine cannot be asked). A lookup still running
    // when the manager goes may never complete.
    using VerdictCompletion = std::function<void(bool spam)>;
    void determineSpamForMessageData(const QByteArray &message, const QString &messageID, const QString &address,
                                     const QString &domain, VerdictCompletion completion);

signals:
    // An asynchronous report or revoke ended with this engine status.
    void networkRequestCompleted(const QString &request, uint32_t status);

private:
    enum class Request { Report, Revoke, Lookup };
    struct InFlightRequest;
    // What the engine made of a message, once its lookup ended.
    struct Classification {
        bool classified = false;
        uint32_t score = 0;
        bool whitelisted = false;
        bool blacklisted = false;
        std::optional<QVLanguageUsage> usage;
    };
    using ClassificationCompletion = std::function<void(const Classification &)>;

    // The lists' verdict, when they decide.
    std::optional<bool> listVerdict(const QString &messageID, const QString &address, const QString &domain) const;
    // The verdict from the engine's answer.
    static bool engineVerdict(const Classification &classification);
    // Classification and language of a message whose lookup ended; the
    // handle is the message's context cell.
    Classification classify(void *handle);
    // Binds, authenticates and prepares the message, then sends the lookup
    // without waiting for it. Completion runs once the lookup ended, or at
    // once when it could not be sent.
    void sendLookup(const QByteArray &message, ClassificationCompletion completion);

    bool startEngine();
    // Starts the engine unless it runs or was tried within the last minute.
    bool ensureEngine();
    bool sendRequest(Request request, const QByteArray &message, RequestCompletion completion);
    // Takes the statuses the engine delivered, then ends every request that
    // has one and whose context can be destroyed now.
    void finishRequests();
    // At shut-down: waits for the requests in flight, then ends them.
    void drainRequests();

    std::unique_ptr<QVEngineAPI> engine_;
    const QString engineDirectory_;
    const QString backendHost_;
    bool engineRunning_ = false;
    std::chrono::milliseconds engineRetryInterval_{std::chrono::minutes(1)};
    QElapsedTimer lastStartAttempt_;

    QVMailList *blackList_;
    QVMailList *whiteList_;
    std::unique_ptr<QVLanguageList> languageList_;
    QVSpamNotificationHandler *notificationHandler_;
    std::vector<std::unique_ptr<InFlightRequest>> inFlight_;
    // Retries the destruction of contexts the engine still held.
    QTimer *finishTimer_;
};
