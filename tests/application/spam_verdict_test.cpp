// The verdict and the engine's lifetime, with an engine that answers as told.
#include "QVLanguageList.h"
#include "QVMailList.h"
#include "QVServiceInfo.h"
#include "QVSpamManager.h"
#include "QVSpamSetttings.h"
#include "QVUserDefaults.h"
#include "fake_engine.h"
#include "support.h"

#include <gtest/gtest.h>

#include <QFile>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <optional>
#include <thread>

namespace {

const QByteArray kMessage = QByteArrayLiteral("From: a@x.com\r\nSubject: hello\r\n\r\nbody\r\n");

std::unique_ptr<QVSpamManager> makeManager(FakeEngineState &state)
{
    auto manager = std::make_unique<QVSpamManager>(std::make_unique<FakeEngine>(state), QStringLiteral("/engine"),
                                                   QStringLiteral("backend.example"), nullptr);
    // The lists live in files shared by the tests of one process.
    for (QVMailList *list : {manager->blackList(), manager->whiteList()}) {
        QList<qsizetype> all;
        for (qsizetype i = 0; i < list->numberOfItems(); ++i)
            all << i;
        list->removeItemAtIndexes(all);
    }
    return manager;
}

struct VerdictCase {
    const char *name = "";
    QStringList allowed{};
    QStringList blocked{};
    QString address = QStringLiteral("a@x.com");
    QString domain = QStringLiteral("x.com");
    QByteArray message = kMessage;
    QVariant level{};  // invalid: the registered default
    uint32_t score = 0;
    std::vector<std::pair<std::wstring, uint32_t>> languages{};
    std::vector<std::pair<QString, int>> usages{};  // language choices
    std::function<void(FakeEngineState &)> engine{};  // failures
    bool spam = false;
    int contexts = 1;  // contexts made
};

std::vector<VerdictCase> verdictCases()
{
    const auto failing = [](uint32_t FakeEngineState::*call) {
        return [call](FakeEngineState &s) { s.*call = QVSE_E_FAILED; };
    };
    std::vector<VerdictCase> cases = {
        {.name = "address on both lists: the allow list is asked first",
         .allowed = {"a@x.com"},
         .blocked = {"a@x.com"},
         .score = 100,
         .spam = false,
         .contexts = 0},
        {.name = "blocked domain, allowed address",
         .allowed = {"a@x.com"},
         .blocked = {"x.com"},
         .score = 100,
         .spam = false,
         .contexts = 0},
        {.name = "allowed domain", .allowed = {"x.com"}, .score = 100, .spam = false, .contexts = 0},
        {.name = "blocked address", .blocked = {"a@x.com"}, .spam = true, .contexts = 0},
        {.name = "blocked domain", .blocked = {"x.com"}, .spam = true, .contexts = 0},
        {.name = "mixed case sender matches",
         .blocked = {"x.com"},
         .address = "A@X.COM",
         .domain = "X.COM",
         .spam = true,
         .contexts = 0},
        {.name = "empty sender matches no entry",
         .blocked = {"a@x.com", "x.com"},
         .address = "",
         .domain = "",
         .spam = false},
        {.name = "not listed, score 100", .score = 100, .spam = true},
        {.name = "not listed, score 0", .score = 0, .spam = false},
        {.name = "empty message makes no context", .message = QByteArray(), .score = 100, .spam = false, .contexts = 0},
        {.name = "failed bind", .score = 100, .engine = failing(&FakeEngineState::bindResult), .spam = false},
        {.name = "failed authentication",
         .score = 100,
         .engine = failing(&FakeEngineState::authenticateResult),
         .spam = false},
        {.name = "failed preparation", .score = 100, .engine = failing(&FakeEngineState::prepareResult), .spam = false},
        {.name = "failed classification",
         .score = 100,
         .engine = failing(&FakeEngineState::classificationResult),
         .spam = false},
        {.name = "failed lookup still classifies",
         .score = 100,
         .engine = [](FakeEngineState &s) { s.lookupResult = QVSE_E_DEADLINE_EXPIRED; },
         .spam = true},
        {.name = "failed lookup, removed language",
         .languages = {{L"de", 5}},
         .usages = {{"de", 1}},
         .engine = [](FakeEngineState &s) { s.lookupResult = QVSE_E_SERVERS_EXHAUSTED; },
         .spam = true},
        {.name = "failed language call decides by score",
         .score = 0,
         .languages = {{L"de", 5}},
         .usages = {{"de", 1}},
         .engine = failing(&FakeEngineState::languageResult),
         .spam = false},
        {.name = "removed language, score 0",
         .score = 0,
         .languages = {{L"de", 5}},
         .usages = {{"de", 1}},
         .spam = true},
        {.name = "received language, score 100",
         .score = 100,
         .languages = {{L"de", 5}},
         .usages = {{"de", 2}},
         .spam = false},
        {.name = "language left to the score",
         .score = 100,
         .languages = {{L"de", 5}},
         .usages = {{"de", 0}},
         .spam = true},
        {.name = "the language with most matches wins",
         .languages = {{L"en", 10}, {L"de", 30}, {L"fr", 20}},
         .usages = {{"de", 1}, {"fr", 2}},
         .spam = true},
        {.name = "first language wins a tie",
         .score = 100,
         .languages = {{L"fr", 30}, {L"de", 30}},
         .usages = {{"de", 1}, {"fr", 2}},
         .spam = false},
        {.name = "a later, smaller language loses",
         .languages = {{L"en", 20}, {L"de", 5}},
         .usages = {{"de", 1}},
         .spam = false},
    };
    // Detection levels and their thresholds: spam from the threshold up.
    const std::pair<QVariant, uint32_t> levels[] = {
        {QVariant(), 50},
        {0.0, 10},
        {1.0, 30},
        {2.0, 50},
        {3.0, 70},
        {4.0, 90},
        {QStringLiteral("4"), 90},
        {7.9, 50},
        {-1.0, 50},
        {-0.5, 10},  // truncated toward zero
        {std::numeric_limits<double>::quiet_NaN(), 50},
        {std::numeric_limits<double>::infinity(), 50},
        {-std::numeric_limits<double>::infinity(), 50},
        {1e300, 50},
        {QStringLiteral("garbage"), 50},
    };
    for (const auto &[level, threshold] : levels) {
        cases.push_back({.name = "level at its threshold", .level = level, .score = threshold, .spam = true});
        cases.push_back({.name = "level below its threshold", .level = level, .score = threshold - 1, .spam = false});
    }
    return cases;
}

TEST(SpamVerdict, DecidesByListsLanguageAndScore)
{
    auto &defaults = QVUserDefaults::standardUserDefaults();
    for (const VerdictCase &row : verdictCases()) {
        SCOPED_TRACE(std::string(row.name) + " (level " + row.level.toString().toStdString() + ", score "
                     + std::to_string(row.score) + ")");
        FakeEngineState state;
        state.score = row.score;
        state.languages = row.languages;
        if (row.engine)
            row.engine(state);
        auto manager = makeManager(state);
        for (const QString &code : {QStringLiteral("de"), QStringLiteral("fr"), QStringLiteral("en")})
            manager->languageList().setUsageType(0, code);
        for (const auto &[code, usage] : row.usages)
            manager->languageList().setUsageType(usage, code);
        for (const QString &entry : row.allowed)
            manager->whiteList()->addItem(entry);
        for (const QString &entry : row.blocked)
            manager->blackList()->addItem(entry);
        if (row.level.isValid())
            defaults.setObject(row.level, kQVSpamDetectionThresholdKey);
        else
            defaults.removeObjectForKey(kQVSpamDetectionThresholdKey);

        state.calls.clear();
        EXPECT_EQ(manager->isSpamForMessageData(row.message, QStringLiteral("<id>"), row.address, row.domain),
                  row.spam);
        EXPECT_EQ(state.count(QStringLiteral("create")), row.contexts);
        EXPECT_EQ(state.count(QStringLiteral("destroy")), row.contexts);
        if (row.contexts == 0) {
            EXPECT_TRUE(state.calls.isEmpty()) << state.calls.join(u' ').toStdString();
        }
    }
    defaults.removeObjectForKey(kQVSpamDetectionThresholdKey);
}

TEST(SpamVerdict, QueriesTheEngineInOrderWithTheCredential)
{
    FakeEngineState state;
    auto manager = makeManager(state);
    EXPECT_EQ(state.calls, QStringList({"initialize", "connect"}));
    state.calls.clear();
    state.score = 42;
    state.whitelisted = true;
    uint32_t score = 0;
    bool whitelisted = false;
    bool blacklisted = true;
    auto usage = static_cast<QVLanguageUsage>(7);
    ASSERT_TRUE(manager->getSpamProbabilityForData(kMessage, &score, &whitelisted, &blacklisted, &usage));
    EXPECT_EQ(state.calls,
              QStringList({"create", "bind", "authenticate", "prepare", "lookup", "classify", "language", "destroy"}));
    EXPECT_EQ(score, 42u);
    EXPECT_TRUE(whitelisted);
    EXPECT_FALSE(blacklisted);
    EXPECT_EQ(static_cast<int>(usage), 7) << "no language reported, the usage is left alone";
    ASSERT_EQ(state.lookupDeadlines, std::vector<uint32_t>{5000}) << "the servers get five seconds";
    ASSERT_EQ(state.credentials.size(), 1u);
    EXPECT_EQ(state.credentials[0].kind, 10u);
    EXPECT_EQ(QString::fromStdWString(state.credentials[0].secret), QVServiceInfo::machineID());
    // Every out pointer may be missing.
    EXPECT_TRUE(manager->getSpamProbabilityForData(kMessage, nullptr, nullptr, nullptr, nullptr));
    manager.reset();
    EXPECT_EQ(state.calls.back(), QStringLiteral("shutdown"));
}

// A failed start leaves the manager, its lists and its handler in place; the
// start is tried again at a query, at most once a minute.
TEST(SpamVerdict, WorksWithoutEngineAndRetriesItsStart)
{
    FakeEngineState state;
    state.initializeResult = QVSE_E_NOT_FOUND;
    auto manager = makeManager(state);
    ASSERT_NE(manager->blackList(), nullptr);
    ASSERT_NE(manager->notificationHandler(), nullptr);
    EXPECT_FALSE(manager->isEngineRunning());
    EXPECT_EQ(state.calls, QStringList({"initialize"}));

    manager->blackList()->addItem(QStringLiteral("spam.example"));
    EXPECT_TRUE(manager->isSpamForMessageData(kMessage, "<1>", "b@spam.example", "spam.example"));
    const qsizetype before = logCount(QStringLiteral("The engine is not running."));
    state.score = 100;
    EXPECT_FALSE(manager->isSpamForMessageData(kMessage, "<2>", "a@x.com", "x.com"));
    EXPECT_FALSE(manager->reportSpamForData(kMessage));
    EXPECT_FALSE(manager->revokeSpamForData(kMessage));
    EXPECT_EQ(logCount(QStringLiteral("The engine is not running.")), before + 3);
    EXPECT_EQ(state.count(QStringLiteral("initialize")), 1) << "not again within the minute";
    EXPECT_EQ(state.count(QStringLiteral("create")), 0);

    // The minute has passed and the engine can start now.
    manager->setEngineRetryIntervalForTesting(std::chrono::milliseconds(0));
    state.initializeResult = QVSE_OK;
    EXPECT_TRUE(manager->isSpamForMessageData(kMessage, "<3>", "a@x.com", "x.com"));
    EXPECT_EQ(state.count(QStringLiteral("initialize")), 2);
    EXPECT_EQ(state.count(QStringLiteral("connect")), 1);
    EXPECT_TRUE(manager->isEngineRunning());
    manager.reset();
    EXPECT_EQ(state.count(QStringLiteral("shutdown")), 1);
}

TEST(SpamVerdict, FailedConnectLeavesTheEngineRunning)
{
    FakeEngineState state;
    state.connectResult = QVSE_E_NO_SERVERS;
    auto manager = makeManager(state);
    EXPECT_TRUE(manager->isEngineRunning());
    EXPECT_GE(logCount(QStringLiteral("Coudn't connect to backend.example")), 1);
}

// Reports and revokes carry the lookup's credential and go out
// asynchronously with a deadline a server can meet; the main thread does not
// wait. Each ends once, with the engine's status, after its context is gone.
TEST(SpamVerdict, ReportsAndRevokesEndWithTheServersStatus)
{
    using Send = bool (QVSpamManager::*)(const QByteArray &, QVSpamManager::RequestCompletion);
    const struct {
        const char *call;
        Send send;
        uint32_t status;
        int busyDestroys;
    } requests[] = {
        {"report", &QVSpamManager::reportSpamForData, QVSE_OK, 0},
        {"revoke", &QVSpamManager::revokeSpamForData, QVSE_OK, 0},
        {"report", &QVSpamManager::reportSpamForData, QVSE_E_DEADLINE_EXPIRED, 0},
        {"report", &QVSpamManager::reportSpamForData, QVSE_E_INVALID_CREDENTIALS, 0},
        // The engine still holds the context for a moment after its status.
        {"revoke", &QVSpamManager::revokeSpamForData, QVSE_OK, 2},
    };
    static_assert(QVSpamManager::kRequestDeadline >= std::chrono::milliseconds(1000));
    for (const auto &request : requests) {
        SCOPED_TRACE(std::string(request.call) + " ending with " + std::to_string(request.status));
        FakeEngineState state;
        state.completionStatus = request.status;
        state.holdCompletions = true;
        auto manager = makeManager(state);
        state.calls.clear();
        std::vector<uint32_t> completed;
        int contextsWhenCompleted = -1;
        ASSERT_TRUE(((*manager).*request.send)(kMessage, [&](uint32_t status) {
            completed.push_back(status);
            contextsWhenCompleted = state.contextsAlive;
        }));
        EXPECT_EQ(state.calls, QStringList({"create", "bind", "authenticate", request.call}))
            << "the context lives on while the request is in flight";
        EXPECT_EQ(manager->requestsInFlight(), 1);
        ASSERT_EQ(state.credentials.size(), 1u);
        EXPECT_EQ(state.credentials[0].kind, QVSpamManager::kUserIdentityKind);
        EXPECT_EQ(QString::fromStdWString(state.credentials[0].secret), QVServiceInfo::machineID());
        ASSERT_EQ(state.requests.size(), 1u);
        EXPECT_EQ(state.requests[0],
                  std::make_pair(static_cast<uint32_t>(QVSpamManager::kRequestDeadline.count()), true));

        state.busyDestroys = request.busyDestroys;
        state.releaseCompletions();
        ASSERT_TRUE(waitFor([&] { return !completed.empty(); }));
        EXPECT_EQ(completed, std::vector<uint32_t>{request.status});
        EXPECT_EQ(contextsWhenCompleted, 0);
        EXPECT_EQ(manager->requestsInFlight(), 0);
        EXPECT_EQ(state.count(QStringLiteral("destroy")), 1 + request.busyDestroys);
        EXPECT_TRUE(coreLog().contains(
            QStringLiteral("Network request completed with status %1").arg(QString::number(request.status, 16))));
    }

    // What cannot be sent fails at once and never completes.
    FakeEngineState state;
    auto manager = makeManager(state);
    state.calls.clear();
    int completions = 0;
    const auto count = [&](uint32_t) { ++completions; };
    EXPECT_FALSE(manager->reportSpamForData(QByteArray(), count)) << "empty data";
    state.bindResult = QVSE_E_FAILED;
    EXPECT_FALSE(manager->revokeSpamForData(kMessage, count));
    state.bindResult = QVSE_OK;
    state.requestResult = QVSE_E_NO_SERVERS;
    EXPECT_FALSE(manager->reportSpamForData(kMessage, count));
    QCoreApplication::processEvents();
    EXPECT_EQ(completions, 0);
    EXPECT_EQ(state.count(QStringLiteral("create")), state.count(QStringLiteral("destroy")));
    EXPECT_EQ(manager->requestsInFlight(), 0);
}

// Quitting waits for the requests in flight (never past their deadline),
// answers them, and leaves no context behind for the engine's shut-down.
TEST(SpamVerdict, ShutDownEndsTheRequestsInFlightFirst)
{
    FakeEngineState state;
    state.holdCompletions = true;
    auto manager = makeManager(state);
    std::vector<uint32_t> completed;
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(manager->reportSpamForData(kMessage, [&](uint32_t status) { completed.push_back(status); }));
    EXPECT_EQ(state.contextsAlive, 3);
    std::thread engine([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        state.releaseCompletions();
    });
    manager.reset();
    engine.join();
    EXPECT_EQ(completed, (std::vector<uint32_t>{QVSE_OK, QVSE_OK, QVSE_OK}));
    EXPECT_EQ(state.contextsAlive, 0);
    EXPECT_EQ(state.calls.back(), QStringLiteral("shutdown"));
    EXPECT_TRUE(coreLog().contains(QStringLiteral("The engine was shut down.")));
}

}  // namespace

namespace {

// Every query has a handle of its own, so the engine's lines and statuses
// about one message can be told from another's, also while several are in
// flight at once.
TEST(SpamVerdict, EachQueryHasAHandleOfItsOwn)
{
    FakeEngineState state;
    state.holdCompletions = true;
    auto manager = makeManager(state);
    // Handles of earlier tests may come again: only this test's lines count.
    const qsizetype logStart = coreLog().size();
    const auto lines = [&](const QString &text) { return coreLog().mid(logStart).count(text); };
    std::vector<uint32_t> completed;
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(manager->reportSpamForData(kMessage, [&](uint32_t status) { completed.push_back(status); }));
    EXPECT_TRUE(manager->getSpamProbabilityForData(kMessage, nullptr, nullptr, nullptr, nullptr));
    ASSERT_EQ(state.handles.size(), 4u);
    std::vector<void *> handles = state.handles;
    std::sort(handles.begin(), handles.end());
    EXPECT_EQ(std::unique(handles.begin(), handles.end()), handles.end()) << "a handle shared by two contexts";
    for (void *handle : state.handles) {
        EXPECT_EQ(lines(QStringLiteral("[%1] Network request sent").arg(QString::number(quintptr(handle), 16))),
                  handle == state.handles[3] ? 0 : 1);
    }
    state.releaseCompletions();
    ASSERT_TRUE(waitFor([&] { return completed.size() == 3; }));
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(lines(QStringLiteral("[%1] Network request completed with status 0")
                            .arg(QString::number(quintptr(state.handles[i]), 16))),
                  1);
    }
}

}  // namespace

namespace {

// A block list damaged by a bad byte after its first entries: the senders
// listed before the damage are still judged spam, without the engine.
TEST(SpamVerdict, ASenderListedBeforeTheDamageIsStillSpam)
{
    FakeEngineState state;
    const QString path = makeManager(state)->blackList()->fileURL().toLocalFile();
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<array>\n"
               "\t<string>offers@spam.example</string>\n\t<string>spam.example</string>\n"
               "\t<string>bro\xc3\x28ken.example</string>\n\t<string>later.example</string>\n</array>\n</plist>\n");
    file.close();
    auto manager = std::make_unique<QVSpamManager>(std::make_unique<FakeEngine>(state), QStringLiteral("/engine"),
                                                   QStringLiteral("backend.example"), nullptr);
    state.calls.clear();
    EXPECT_TRUE(manager->isSpamForMessageData(kMessage, "<1>", "offers@spam.example", "spam.example"));
    EXPECT_TRUE(manager->isSpamForMessageData(kMessage, "<2>", "other@later.example", "later.example"));
    EXPECT_EQ(state.count(QStringLiteral("create")), 0);
    EXPECT_TRUE(QFile::exists(path + QStringLiteral(".corrupt")));
    QFile::remove(path + QStringLiteral(".corrupt"));
}

}  // namespace
