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

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <chrono>
#include <memory>

class QVDistributedNotificationCenter;
class QVLanguageList;
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

    QVSpamManager(std::unique_ptr<QVEngineAPI> engine, QString engineDirectory, QString backendHost,
                  QVDistributedNotificationCenter *center, QObject *parent = nullptr);
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
    bool getSpamProbabilityForData(const QByteArray &message, uint32_t *score, bool *whitelisted,
                                   bool *blacklisted, int *languageUsageType);
    bool reportSpamForData(const QByteArray &message);
    bool revokeSpamForData(const QByteArray &message);

    // The verdict: allow list, block list, then the engine.
    bool isSpamForMessageData(const QByteArray &message, const QString &messageID, const QString &address,
                              const QString &domain);

signals:
    // An asynchronous report or revoke ended with this engine status.
    void networkRequestCompleted(const QString &request, uint32_t status);

private:
    enum class Request { Report, Revoke };

    bool startEngine();
    // Starts the engine unless it runs or was tried within the last minute.
    bool ensureEngine();
    bool sendRequest(Request request, const QByteArray &message);

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
};
