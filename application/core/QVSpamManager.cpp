#include "QVSpamManager.h"

#include "QVDistributedNotificationCenter.h"
#include "QVLanguageList.h"
#include "QVLogger.h"
#include "QVMailList.h"
#include "QVMainBundle.h"
#include "QVServiceInfo.h"
#include "QVSpamNotificationHandler.h"
#include "QVSpamSetttings.h"
#include "QVStringAdditions.h"
#include "QVUserDefaults.h"

#include <QCoreApplication>
#include <QPointer>
#include <QThread>

#include <atomic>

namespace {

constexpr uint32_t kIdentityKind = 10;
constexpr uint32_t kLookupTimeoutMs = 5000;
constexpr uint32_t kReportTimeoutMs = 1;
constexpr unsigned long kBusyContextPauseMs = 200;

// The handle of one message's engine calls. The engine never looks inside;
// language_classified keeps the code with the most matched words here.
struct ContextCell {
    QString languageCode;
    uint32_t matched = 0;
};

// Read from engine threads, so kept apart from the settings object.
std::atomic<bool> extendedLogging{true};
QPointer<QVSpamManager> liveManager;

QString wide(const wchar_t *text, size_t length)
{
    return QVAdditions::stringWithUTF32String(text, length);
}

void engineTrace(uint32_t, const wchar_t *facility, size_t facilityLength, uint32_t indent, const wchar_t *text,
                 size_t textLength)
{
    if (!extendedLogging.load(std::memory_order_relaxed))
        return;
    QVLogCore(QStringLiteral("%1:%2%3"), wide(facility, facilityLength),
              QVAdditions::tabsStringWithIndentation(indent + 1), wide(text, textLength));
}

void engineContextTrace(void *context, uint32_t, const wchar_t *facility, size_t facilityLength, uint32_t indent,
                        const wchar_t *text, size_t textLength)
{
    if (!extendedLogging.load(std::memory_order_relaxed))
        return;
    QVLogCore(QStringLiteral("[%1] %2:%3%4"), QString::number(reinterpret_cast<quintptr>(context), 16),
              wide(facility, facilityLength), QVAdditions::tabsStringWithIndentation(indent + 1),
              wide(text, textLength));
}

void engineTextStage(void *context, uint32_t, const wchar_t *text, size_t length)
{
    if (!extendedLogging.load(std::memory_order_relaxed))
        return;
    QVLogCore(QStringLiteral("[%1] %2"), QString::number(reinterpret_cast<quintptr>(context), 16),
              wide(text, length));
}

// The events the application does not use.
void engineUpdateCompleted() {}
void engineNetworkTraffic(size_t, size_t) {}
void engineURIFound(void *, uint32_t, const wchar_t *, size_t) {}
void engineFingerprintGenerated(void *, const wchar_t *, size_t, const wchar_t *, size_t) {}
void engineLanguageEnumerated(const wchar_t *, size_t, uint32_t, uint32_t) {}

void engineLanguageClassified(void *context, const wchar_t *language, size_t length, uint32_t matched, uint32_t)
{
    // Runs inside the language call on the caller's thread, so the cell is
    // alive. The message is mostly in the language with the most matches.
    auto *cell = static_cast<ContextCell *>(context);
    if (cell->languageCode.isNull() || matched > cell->matched) {
        cell->languageCode = wide(language, length);
        cell->matched = matched;
    }
}

// On the engine's network thread, after the engine let go of the context:
// the cell may be gone, so only the handle's value is used.
void engineNetworkCompleted(void *context, uint32_t status)
{
    auto *application = QCoreApplication::instance();
    if (!application)
        return;
    const quintptr handle = reinterpret_cast<quintptr>(context);
    QMetaObject::invokeMethod(
        application,
        [handle, status] {
            QVLogCore(QCoreApplication::translate("QVSpamManager", "[%1] Network request completed with status %2"),
                      QString::number(handle, 16), QString::number(status, 16));
            if (liveManager)
                emit liveManager->networkRequestCompleted(QString::number(handle, 16), status);
        },
        Qt::QueuedConnection);
}

qvse_callbacks_t callbackTable()
{
    qvse_callbacks_t table{};
    table.size = sizeof(qvse_callbacks_t);
    table.trace = engineTrace;
    table.update_completed = engineUpdateCompleted;
    table.context_trace = engineContextTrace;
    table.network_completed = engineNetworkCompleted;
    table.network_traffic = engineNetworkTraffic;
    // Messages are bound from memory only, so stream_read stays empty.
    table.text_stage = engineTextStage;
    table.uri_found = engineURIFound;
    table.fingerprint_generated = engineFingerprintGenerated;
    table.language_enumerated = engineLanguageEnumerated;
    table.language_classified = engineLanguageClassified;
    return table;
}

// One engine context over a cell, destroyed on every path. The engine does
// not copy the message, so the bytes must outlive this object.
class EngineContext {
public:
    explicit EngineContext(QVEngineAPI &engine) : engine_(engine)
    {
        const uint32_t result = engine_.createContext(&cell_);
        if (result != QVSE_OK)
            QVLogCore(QCoreApplication::translate("QVSpamManager", "Couldn't create context with error: %1"), result);
    }
    ~EngineContext()
    {
        // An asynchronous request still holds the context: wait for it.
        while (engine_.destroyContext(&cell_) == QVSE_E_IN_USE)
            QThread::msleep(kBusyContextPauseMs);
    }
    EngineContext(const EngineContext &) = delete;
    EngineContext &operator=(const EngineContext &) = delete;

    void *handle() { return &cell_; }
    const ContextCell &cell() const { return cell_; }

    bool bind(const QByteArray &message)
    {
        const uint32_t result = engine_.bindBuffer(&cell_, message.constData(), static_cast<size_t>(message.size()));
        if (result != QVSE_OK)
            QVLogCore(QCoreApplication::translate("QVSpamManager", "Couldn't bind to Data. error: %1"), result);
        return result == QVSE_OK;
    }

    // The credential of every network request about the message.
    bool authenticate(qint64 userID, const QString &secretKey)
    {
        return engine_.authenticate(&cell_, kIdentityKind, static_cast<uint32_t>(userID),
                                    QVAdditions::UTF32String(secretKey))
            == QVSE_OK;
    }

private:
    QVEngineAPI &engine_;
    ContextCell cell_;
};

QString yesNo(bool value)
{
    return value ? QStringLiteral("YES") : QStringLiteral("NO");
}

}  // namespace

QVSpamManager *QVSpamManager::sharedInstance()
{
    if (!liveManager) {
        const auto &defaults = QVUserDefaults::standardUserDefaults();
        new QVSpamManager(std::make_unique<QVGatewayEngine>(), QVMainBundle::executableFolder(),
                          defaults.stringForKey(kQVBackendHostKey), QVDistributedNotificationCenter::defaultCenter(),
                          QCoreApplication::instance());
    }
    return liveManager;
}

void QVSpamManager::shutDown()
{
    delete liveManager.data();
}

QVSpamManager::QVSpamManager(std::unique_ptr<QVEngineAPI> engine, QString engineDirectory, QString backendHost,
                             QVDistributedNotificationCenter *center, QObject *parent)
    : QObject(parent),
      engine_(std::move(engine)),
      engineDirectory_(std::move(engineDirectory)),
      backendHost_(std::move(backendHost))
{
    liveManager = this;
    auto &defaults = QVUserDefaults::standardUserDefaults();
    extendedLogging = QVSpamSetttings::sharedInstance().isExtenedLogging();
    connect(&defaults, &QVUserDefaults::changed, this, [](const QString &key) {
        if (key == QLatin1String(kQVSpamExtendedLoggingKey))
            extendedLogging = QVSpamSetttings::sharedInstance().isExtenedLogging();
    });

    startEngine();

    blackList_ = new QVMailList(QStringLiteral("BlackList"), this);
    whiteList_ = new QVMailList(QStringLiteral("WhiteList"), this);
    languageList_ = std::make_unique<QVLanguageList>();
    notificationHandler_ = new QVSpamNotificationHandler(this, center, this);
}

QVSpamManager::~QVSpamManager()
{
    if (engineRunning_) {
        const uint32_t result = engine_->shutdown();
        if (result != QVSE_OK)
            QVLogCore(QCoreApplication::translate("QVSpamManager", "Failed to shut down engine: error %1"),
                      QString::number(result, 16));
    }
    delete notificationHandler_;
    notificationHandler_ = nullptr;
}

void QVSpamManager::setEngineRetryIntervalForTesting(std::chrono::milliseconds interval)
{
    engineRetryInterval_ = interval;
}

bool QVSpamManager::startEngine()
{
    lastStartAttempt_.start();
    const uint32_t result = engine_->initialize(engineDirectory_.toUtf8(), callbackTable());
    if (result != QVSE_OK) {
        QVLogCore(QCoreApplication::translate("QVSpamManager", "Couldn't start engine in %1: error %2"),
                  engineDirectory_, QString::number(result, 16));
        return false;
    }
    engineRunning_ = true;
    if (engine_->connect(QVAdditions::UTF32String(backendHost_)) != QVSE_OK)
        QVLogCore(QCoreApplication::translate("QVSpamManager", "Coudn't connect to %1"), backendHost_);
    return true;
}

bool QVSpamManager::ensureEngine()
{
    if (engineRunning_)
        return true;
    if (std::chrono::milliseconds(lastStartAttempt_.elapsed()) >= engineRetryInterval_ && startEngine())
        return true;
    QVLogCore(QCoreApplication::translate("QVSpamManager", "The engine is not running."));
    return false;
}

qint64 QVSpamManager::userIDIdentity() const
{
    return QVServiceInfo::userID().toLongLong();
}

QString QVSpamManager::secretKey() const
{
    return QVServiceInfo::machineID();
}

bool QVSpamManager::getSpamProbabilityForData(const QByteArray &message, uint32_t *score, bool *whitelisted,
                                              bool *blacklisted, int *languageUsageType)
{
    if (message.isEmpty() || !ensureEngine())
        return false;
    EngineContext context(*engine_);
    if (!context.bind(message) || !context.authenticate(userIDIdentity(), secretKey()))
        return false;
    if (engine_->prepare(context.handle()) != QVSE_OK)
        return false;
    // Without the servers' answers the built-in heuristics and the language
    // still count.
    if (const uint32_t result = engine_->lookup(context.handle(), kLookupTimeoutMs, false); result != QVSE_OK)
        QVLogCore(QCoreApplication::translate("QVSpamManager", "Lookup failed with error: %1"),
                  QString::number(result, 16));

    bool isWhitelisted = false;
    bool isBlacklisted = false;
    uint32_t value = 0;
    const bool classified = engine_->classification(context.handle(), &isWhitelisted, &isBlacklisted, &value) == QVSE_OK;
    if (classified) {
        if (score)
            *score = value;
        if (whitelisted)
            *whitelisted = isWhitelisted;
        if (blacklisted)
            *blacklisted = isBlacklisted;
    }
    if (engine_->languageClassification(context.handle()) == QVSE_OK && !context.cell().languageCode.isEmpty()
        && languageUsageType)
        *languageUsageType = languageList_->usageTypeForLanguageCode(context.cell().languageCode);
    return classified;
}

bool QVSpamManager::sendRequest(Request request, const QByteArray &message)
{
    if (message.isEmpty() || !ensureEngine())
        return false;
    EngineContext context(*engine_);
    if (!context.bind(message) || !context.authenticate(userIDIdentity(), secretKey()))
        return false;
    const uint32_t result = request == Request::Report
        ? engine_->report(context.handle(), false, kReportTimeoutMs, true)
        : engine_->revoke(context.handle(), false, kReportTimeoutMs, true);
    if (result != QVSE_OK)
        QVLogCore(QCoreApplication::translate("QVSpamManager", "[%1] Network request failed with error: %2"),
                  QString::number(reinterpret_cast<quintptr>(context.handle()), 16), QString::number(result, 16));
    return result == QVSE_OK;
}

bool QVSpamManager::reportSpamForData(const QByteArray &message)
{
    return sendRequest(Request::Report, message);
}

bool QVSpamManager::revokeSpamForData(const QByteArray &message)
{
    return sendRequest(Request::Revoke, message);
}

bool QVSpamManager::isSpamForMessageData(const QByteArray &message, const QString &messageID,
                                         const QString &address, const QString &domain)
{
    QVLogCore(QStringLiteral("*** Checking for SPAM messageID %1, address %2, domain %3"), messageID, address, domain);
    // Blank values match nothing, so they are never looked up.
    const auto listHolds = [&](const QVMailList &list) {
        return (!address.trimmed().isEmpty() && list.containsItem(address))
            || (!domain.trimmed().isEmpty() && list.containsItem(domain));
    };
    if (listHolds(*whiteList_)) {
        QVLogCore(QStringLiteral("*** NOT SPAM: whitelisted"));
        return false;
    }
    if (listHolds(*blackList_)) {
        QVLogCore(QStringLiteral("*** SPAM: blacklisted"));
        return true;
    }

    uint32_t score = 0;
    bool whitelisted = false;
    bool blacklisted = false;
    int usage = 0;
    if (!getSpamProbabilityForData(message, &score, &whitelisted, &blacklisted, &usage))
        return false;
    QVLogCore(QStringLiteral("*** The message is inBlackList %1, inWhiteList %2, probability %3"), yesNo(blacklisted),
              yesNo(whitelisted), score);
    if (usage == 2) {
        QVLogCore(QStringLiteral("*** NOT SPAM: Language Receive"));
        return false;
    }
    if (usage == 1) {
        QVLogCore(QStringLiteral("*** SPAM: Language Remove"));
        return true;
    }
    if (score >= QVSpamSetttings::sharedInstance().detectionThreshold()) {
        QVLogCore(QStringLiteral("*** SPAM: Threshold"));
        return true;
    }
    return false;
}
