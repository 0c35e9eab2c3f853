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
#include <QDeadlineTimer>
#include <QPointer>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <optional>

namespace {

constexpr unsigned long kBusyContextPauseMs = 200;

// What language_classified reported for one message: the message is mostly
// in the language with the most matched words.
struct LanguageGuess {
    QString code;
    uint32_t matched = 0;
};

// The handle of one message's engine calls: a fresh 8-byte heap cell per
// query, so that no two messages ever share a handle. The engine never
// looks inside; language_classified keeps its guess here.
struct ContextCell {
    std::unique_ptr<LanguageGuess> language;
};
static_assert(sizeof(ContextCell) == 8);

// Read from engine threads, so kept apart from the settings object.
std::atomic<bool> extendedLogging{true};
QPointer<QVSpamManager> liveManager;

// Statuses of asynchronous requests, from the engine's network thread to the
// main thread (which owns the cells).
std::mutex completedMutex;
std::vector<std::pair<const void *, uint32_t>> completedRequests;
// Cleared once the manager stopped waiting: a lookup the engine still runs
// after the quit must not reach an application on its way out.
bool completionsWanted = false;

QString handleText(const void *context)
{
    return QString::number(reinterpret_cast<quintptr>(context), 16);
}

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
    QVLogCore(QStringLiteral("[%1] %2:%3%4"), handleText(context), wide(facility, facilityLength),
              QVAdditions::tabsStringWithIndentation(indent + 1), wide(text, textLength));
}

void engineTextStage(void *context, uint32_t, const wchar_t *text, size_t length)
{
    if (!extendedLogging.load(std::memory_order_relaxed))
        return;
    QVLogCore(QStringLiteral("[%1] %2"), handleText(context), wide(text, length));
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
    if (!cell->language)
        cell->language = std::make_unique<LanguageGuess>(LanguageGuess{wide(language, length), matched});
    else if (matched > cell->language->matched)
        *cell->language = LanguageGuess{wide(language, length), matched};
}

// On the engine's network thread, after the engine let go of the context.
// The cell belongs to the main thread, which is only told.
void engineNetworkCompleted(void *context, uint32_t status)
{
    std::lock_guard lock(completedMutex);
    if (!completionsWanted)
        return;
    completedRequests.emplace_back(context, status);
    if (auto *application = QCoreApplication::instance()) {
        QMetaObject::invokeMethod(
            application, [] { QVSpamManager::collectCompletedRequests(); }, Qt::QueuedConnection);
    }
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

// One engine context over a fresh cell, destroyed on every path unless a
// request in flight takes the cell over. The engine does not copy the
// message, so the bytes must outlive the context.
class EngineContext {
public:
    explicit EngineContext(QVEngineAPI &engine) : engine_(engine), cell_(std::make_unique<ContextCell>())
    {
        const uint32_t result = engine_.createContext(cell_.get());
        if (result != QVSE_OK)
            QVLogCore(QCoreApplication::translate("QVSpamManager", "Couldn't create context with error: %1"), result);
    }
    ~EngineContext()
    {
        if (!cell_)
            return;
        // Only an asynchronous request holds a context after its call.
        while (engine_.destroyContext(cell_.get()) == QVSE_E_IN_USE)
            QThread::msleep(kBusyContextPauseMs);
    }
    EngineContext(const EngineContext &) = delete;
    EngineContext &operator=(const EngineContext &) = delete;

    void *handle() const { return cell_.get(); }
    QString languageCode() const { return cell_->language ? cell_->language->code : QString(); }
    // The cell and the duty to destroy its context.
    std::unique_ptr<ContextCell> release() { return std::move(cell_); }

    bool bind(const QByteArray &message)
    {
        const uint32_t result = engine_.bindBuffer(handle(), message.constData(), static_cast<size_t>(message.size()));
        if (result != QVSE_OK)
            QVLogCore(QCoreApplication::translate("QVSpamManager", "Couldn't bind to Data. error: %1"), result);
        return result == QVSE_OK;
    }

    // The credential of every network request about the message.
    bool authenticate(qint64 userID, const QString &secretKey)
    {
        return engine_.authenticate(handle(), QVSpamManager::kUserIdentityKind, static_cast<uint32_t>(userID),
                                    QVAdditions::UTF32String(secretKey))
            == QVSE_OK;
    }

private:
    QVEngineAPI &engine_;
    std::unique_ptr<ContextCell> cell_;
};

QString yesNo(bool value)
{
    return value ? QStringLiteral("YES") : QStringLiteral("NO");
}

}  // namespace

// A report or revoke the engine works on: its context stays alive, and with
// it the message bytes, until the engine delivered its status.
struct QVSpamManager::InFlightRequest {
    Request kind;
    std::unique_ptr<ContextCell> cell;
    QByteArray message;
    RequestCompletion completion;
    // A lookup's: classified once the lookup ended, before the context goes.
    ClassificationCompletion classified;
    std::optional<Classification> classification;
    std::optional<uint32_t> status;
};

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

void QVSpamManager::stopTakingRequests()
{
    if (liveManager)
        liveManager->notificationHandler_->dropPendingRequests();
}

QVSpamManager::QVSpamManager(std::unique_ptr<QVEngineAPI> engine, QString engineDirectory, QString backendHost,
                             QVDistributedNotificationCenter *center, QObject *parent)
    : QObject(parent),
      engine_(std::move(engine)),
      engineDirectory_(std::move(engineDirectory)),
      backendHost_(std::move(backendHost))
{
    liveManager = this;
    {
        std::lock_guard lock(completedMutex);
        completionsWanted = true;
    }
    auto &defaults = QVUserDefaults::standardUserDefaults();
    extendedLogging = QVSpamSetttings::sharedInstance().isExtenedLogging();
    connect(&defaults, &QVUserDefaults::changed, this, [](const QString &key) {
        if (key == QLatin1String(kQVSpamExtendedLoggingKey))
            extendedLogging = QVSpamSetttings::sharedInstance().isExtenedLogging();
    });

    finishTimer_ = new QTimer(this);
    finishTimer_->setSingleShot(true);
    finishTimer_->setInterval(static_cast<int>(kBusyContextPauseMs));
    connect(finishTimer_, &QTimer::timeout, this, &QVSpamManager::finishRequests);

    startEngine();

    blackList_ = new QVMailList(QStringLiteral("BlackList"), this);
    whiteList_ = new QVMailList(QStringLiteral("WhiteList"), this);
    languageList_ = std::make_unique<QVLanguageList>();
    notificationHandler_ = new QVSpamNotificationHandler(this, center, this);
}

QVSpamManager::~QVSpamManager()
{
    // Nothing new starts; what the servers were told still ends and is
    // answered.
    notificationHandler_->dropPendingRequests();
    drainRequests();
    if (liveManager.data() == this) {  // not when a newer manager took over
        std::lock_guard lock(completedMutex);
        completionsWanted = false;
        completedRequests.clear();
    }
    delete notificationHandler_;
    notificationHandler_ = nullptr;
    if (engineRunning_) {
        const uint32_t result = engine_->shutdown();
        if (result != QVSE_OK)
            QVLogCore(QCoreApplication::translate("QVSpamManager", "Failed to shut down engine: error %1"),
                      QString::number(result, 16));
        else
            QVLogCore(QCoreApplication::translate("QVSpamManager", "The engine was shut down."));
    }
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
        // "Coudn't" as the run script's log reader expects it.
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

QVSpamManager::Classification QVSpamManager::classify(void *handle)
{
    Classification result;
    result.classified =
        engine_->classification(handle, &result.whitelisted, &result.blacklisted, &result.score) == QVSE_OK;
    const auto *cell = static_cast<const ContextCell *>(handle);
    if (engine_->languageClassification(handle) == QVSE_OK && cell->language && !cell->language->code.isEmpty())
        result.usage = static_cast<QVLanguageUsage>(languageList_->usageTypeForLanguageCode(cell->language->code));
    return result;
}

bool QVSpamManager::getSpamProbabilityForData(const QByteArray &message, uint32_t *score, bool *whitelisted,
                                              bool *blacklisted, QVLanguageUsage *languageUsageType)
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
    const auto deadline = static_cast<uint32_t>(kLookupDeadline.count());
    if (const uint32_t result = engine_->lookup(context.handle(), deadline, false); result != QVSE_OK)
        QVLogCore(QCoreApplication::translate("QVSpamManager", "Lookup failed with error: %1"),
                  QString::number(result, 16));

    const Classification classification = classify(context.handle());
    if (classification.classified) {
        if (score)
            *score = classification.score;
        if (whitelisted)
            *whitelisted = classification.whitelisted;
        if (blacklisted)
            *blacklisted = classification.blacklisted;
    }
    if (classification.usage && languageUsageType)
        *languageUsageType = *classification.usage;
    return classification.classified;
}

void QVSpamManager::sendLookup(const QByteArray &message, ClassificationCompletion completion)
{
    if (message.isEmpty() || !ensureEngine())
        return completion({});
    EngineContext context(*engine_);
    if (!context.bind(message) || !context.authenticate(userIDIdentity(), secretKey())
        || engine_->prepare(context.handle()) != QVSE_OK)
        return completion({});
    const auto deadline = static_cast<uint32_t>(kLookupDeadline.count());
    if (const uint32_t result = engine_->lookup(context.handle(), deadline, true); result != QVSE_OK) {
        // Not sent: the heuristics and the language decide at once.
        QVLogCore(QCoreApplication::translate("QVSpamManager", "Lookup failed with error: %1"),
                  QString::number(result, 16));
        return completion(classify(context.handle()));
    }
    auto pending = std::make_unique<InFlightRequest>();
    pending->kind = Request::Lookup;
    pending->cell = context.release();
    pending->message = message;
    pending->classified = std::move(completion);
    inFlight_.push_back(std::move(pending));
}

bool QVSpamManager::sendRequest(Request request, const QByteArray &message, RequestCompletion completion)
{
    if (message.isEmpty() || !ensureEngine())
        return false;
    EngineContext context(*engine_);
    if (!context.bind(message) || !context.authenticate(userIDIdentity(), secretKey()))
        return false;
    const auto deadline = static_cast<uint32_t>(kRequestDeadline.count());
    const uint32_t result = request == Request::Report ? engine_->report(context.handle(), false, deadline, true)
                                                       : engine_->revoke(context.handle(), false, deadline, true);
    if (result != QVSE_OK) {
        QVLogCore(QCoreApplication::translate("QVSpamManager", "[%1] Network request failed with error: %2"),
                  handleText(context.handle()), QString::number(result, 16));
        return false;
    }
    // The engine holds the context (and reads the bytes) until it delivers
    // the status; the main thread does not wait for it.
    QVLogCore(QCoreApplication::translate("QVSpamManager", "[%1] Network request sent"), handleText(context.handle()));
    auto pending = std::make_unique<InFlightRequest>();
    pending->kind = request;
    pending->cell = context.release();
    pending->message = message;
    pending->completion = std::move(completion);
    inFlight_.push_back(std::move(pending));
    return true;
}

void QVSpamManager::collectCompletedRequests()
{
    if (liveManager)
        liveManager->finishRequests();
}

void QVSpamManager::finishRequests()
{
    std::vector<std::pair<const void *, uint32_t>> completed;
    {
        std::lock_guard lock(completedMutex);
        completed.swap(completedRequests);
    }
    for (const auto &[handle, status] : completed) {
        const auto found = std::find_if(inFlight_.begin(), inFlight_.end(),
                                        [handle = handle](const auto &r) { return r->cell.get() == handle; });
        if (found == inFlight_.end() || (*found)->status)
            continue;  // not one of ours
        (*found)->status = status;
        if ((*found)->kind != Request::Lookup)
            QVLogCore(QCoreApplication::translate("QVSpamManager", "[%1] Network request completed with status %2"),
                      handleText(handle), QString::number(status, 16));
        else if (status != QVSE_OK)
            QVLogCore(QCoreApplication::translate("QVSpamManager", "Lookup failed with error: %1"),
                      QString::number(status, 16));
    }

    // A context is destroyed only once its status arrived: before that its
    // cell could be freed and its address given to another message.
    std::vector<std::unique_ptr<InFlightRequest>> finished;
    bool busy = false;
    for (auto it = inFlight_.begin(); it != inFlight_.end();) {
        InFlightRequest &request = **it;
        if (!request.status) {
            ++it;
            continue;
        }
        // The servers' answers are in the context until it goes.
        if (request.kind == Request::Lookup && !request.classification)
            request.classification = classify(request.cell.get());
        if (engine_->destroyContext(request.cell.get()) == QVSE_E_IN_USE) {
            busy = true;
            ++it;
            continue;
        }
        finished.push_back(std::move(*it));
        it = inFlight_.erase(it);
    }
    if (busy && !finishTimer_->isActive())
        finishTimer_->start();

    for (const auto &request : finished) {
        emit networkRequestCompleted(handleText(request->cell.get()), *request->status);
        if (request->completion)
            request->completion(*request->status);
        if (request->classified)
            request->classified(*request->classification);
    }
}

void QVSpamManager::drainRequests()
{
    if (inFlight_.empty())
        return;
    // Reports and revokes end by their deadline; the margin covers the
    // engine's own delivery. A verdict's lookup may take longer (it has the
    // lookup deadline), but quitting waits no longer for it. No event loop
    // runs here, so the statuses are polled.
    QDeadlineTimer deadline(kRequestDeadline + std::chrono::milliseconds(500));
    while (!inFlight_.empty() && !deadline.hasExpired()) {
        finishRequests();
        if (!inFlight_.empty())
            QThread::msleep(20);
    }
    finishTimer_->stop();
    if (!inFlight_.empty()) {
        // The engine may still read their cells and bytes, so they are kept
        // for the rest of the process; it then refuses to shut down.
        QVLogCore(QCoreApplication::translate("QVSpamManager", "%1 network requests did not end in time"),
                  static_cast<qsizetype>(inFlight_.size()));
        static auto *const abandoned = new std::vector<std::unique_ptr<InFlightRequest>>;
        std::move(inFlight_.begin(), inFlight_.end(), std::back_inserter(*abandoned));
        inFlight_.clear();
    }
}

bool QVSpamManager::reportSpamForData(const QByteArray &message, RequestCompletion completion)
{
    return sendRequest(Request::Report, message, std::move(completion));
}

bool QVSpamManager::revokeSpamForData(const QByteArray &message, RequestCompletion completion)
{
    return sendRequest(Request::Revoke, message, std::move(completion));
}

std::optional<bool> QVSpamManager::listVerdict(const QString &messageID, const QString &address,
                                               const QString &domain) const
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
    return std::nullopt;
}

bool QVSpamManager::engineVerdict(const Classification &classification)
{
    if (!classification.classified)
        return false;
    QVLogCore(QStringLiteral("*** The message is inBlackList %1, inWhiteList %2, probability %3"),
              yesNo(classification.blacklisted), yesNo(classification.whitelisted), classification.score);
    if (classification.usage == QVLanguageUsage::Receive) {
        QVLogCore(QStringLiteral("*** NOT SPAM: Language Receive"));
        return false;
    }
    if (classification.usage == QVLanguageUsage::Remove) {
        QVLogCore(QStringLiteral("*** SPAM: Language Remove"));
        return true;
    }
    if (classification.score >= QVSpamSetttings::sharedInstance().detectionThreshold()) {
        QVLogCore(QStringLiteral("*** SPAM: Threshold"));
        return true;
    }
    return false;
}

bool QVSpamManager::isSpamForMessageData(const QByteArray &message, const QString &messageID, const QString &address,
                                         const QString &domain)
{
    if (const std::optional<bool> listed = listVerdict(messageID, address, domain))
        return *listed;
    Classification classification;
    QVLanguageUsage usage = QVLanguageUsage::Score;
    classification.classified = getSpamProbabilityForData(message, &classification.score, &classification.whitelisted,
                                                          &classification.blacklisted, &usage);
    classification.usage = usage;
    return engineVerdict(classification);
}

void QVSpamManager::determineSpamForMessageData(const QByteArray &message, const QString &messageID,
                                                const QString &address, const QString &domain,
                                                VerdictCompletion completion)
{
    if (const std::optional<bool> listed = listVerdict(messageID, address, domain))
        return completion(*listed);
    sendLookup(message, [completion = std::move(completion)](const Classification &classification) {
        completion(engineVerdict(classification));
    });
}
