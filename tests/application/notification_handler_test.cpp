// The plug-in's requests and the application's answers over a real session
// bus: a second connection plays the plug-in.
#include "QVDistributedNotificationCenter.h"
#include "QVMailList.h"
#include "QVSpamManager.h"
#include "QVSpamNotificationHandler.h"
#include "bus_peer.h"
#include "fake_engine.h"
#include "support.h"

#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusMessage>

#include <map>
#include <vector>

namespace {

const QByteArray kMessage = kPlainMessage;

class NotificationHandler : public ::testing::Test {
protected:
    void SetUp() override
    {
        manager = std::make_unique<QVSpamManager>(std::make_unique<FakeEngine>(state), QStringLiteral("/engine"),
                                                  QStringLiteral("backend.example"),
                                                  QVDistributedNotificationCenter::defaultCenter());
        manager->blackList()->addItem(QStringLiteral("blocked.example"));
        // Qt D-Bus holds back a new connection's first signals until its
        // event loop has run once; requests must not overtake them.
        QCoreApplication::processEvents();
    }
    void TearDown() override
    {
        manager.reset();
        state.joinCompletions();
    }

    FakeEngineState state;
    std::unique_ptr<QVSpamManager> manager;
    BusPeer plugin;
};

QVariantMap messageRequest(const QString &id, const QString &address)
{
    return {{"Message", kMessage}, {"MessageID", id}, {"Address", address}, {"Domain", address.section(u'@', 1)}};
}

TEST_F(NotificationHandler, AnswersSpamWithTheSameMessageIDAndNotSpamWithNothing)
{
    plugin.post(QStringLiteral("QV_ADD_MESSAGE"), messageRequest("<not-spam@x>", "someone@x.com"));
    plugin.post(QStringLiteral("QV_ADD_MESSAGE"), messageRequest("<Spam.1@x>", "offers@blocked.example"));
    plugin.settle();
    ASSERT_EQ(plugin.answers.size(), 1u);
    EXPECT_EQ(plugin.answers[0].name, QStringLiteral("QV_DETERMINED_SPAM"));
    EXPECT_EQ(plugin.answers[0].userInfo, (QVariantMap{{"MessageID", QStringLiteral("<Spam.1@x>")}}));
    EXPECT_EQ(state.count(QStringLiteral("create")), 1) << "only the unlisted message reaches the engine";
    EXPECT_EQ(logCount(QStringLiteral("*** DETECTED NOT SPAM: <not-spam@x>")), 1);
    EXPECT_EQ(logCount(QStringLiteral("*** DETECTED SPAM: <Spam.1@x>")), 1);
}

TEST_F(NotificationHandler, BlocksAndUnblocks)
{
    plugin.post(QStringLiteral("QV_BLOCK_MESSAGE"), messageRequest("<b@x>", "a@x.com"));
    plugin.post(QStringLiteral("QV_UNBLOCK_MESSAGE"), messageRequest("<u@x>", "a@x.com"));
    QVariantMap empty = messageRequest("<empty@x>", "a@x.com");
    empty.insert("Message", QByteArray());
    plugin.post(QStringLiteral("QV_BLOCK_MESSAGE"), empty);
    plugin.settle();
    // The answers come once the server has learned the requests, in the
    // order the server answered.
    ASSERT_TRUE(waitFor([&] { return plugin.answers.size() >= 2u; }));
    ASSERT_EQ(plugin.answers.size(), 2u);
    std::map<QString, QString> answered;
    for (const auto &answer : plugin.answers)
        answered[answer.stringValue("MessageID")] = answer.name;
    EXPECT_EQ(answered, (std::map<QString, QString>{{"<b@x>", "QV_BLOCK_LETTER"}, {"<u@x>", "QV_BLOCK_UNBLOCK"}}));
    EXPECT_EQ(logCount(QStringLiteral("*** BLOCKING FAILED: <empty@x>")), 1);

    EXPECT_EQ(logCount(QStringLiteral("*** BLOCKED: <b@x>")), 1);
    EXPECT_EQ(logCount(QStringLiteral("*** UNBLOCKED: <u@x>")), 1);

    // Not sent at all, and sent but not learned: both failures are logged,
    // told apart by the status, and neither is answered.
    state.requestResult = QVSE_E_NO_SERVERS;
    plugin.post(QStringLiteral("QV_UNBLOCK_MESSAGE"), messageRequest("<u2@x>", "a@x.com"));
    plugin.settle();
    EXPECT_EQ(logCount(QStringLiteral("*** UNBLOCKING FAILED: <u2@x>\n")), 1);
    state.requestResult = QVSE_OK;
    state.completionStatus = QVSE_E_DEADLINE_EXPIRED;
    plugin.post(QStringLiteral("QV_BLOCK_MESSAGE"), messageRequest("<late@x>", "a@x.com"));
    ASSERT_TRUE(
        waitFor([&] { return logCount(QStringLiteral("*** BLOCKING FAILED: <late@x>, status 40000\n")) == 1; }));
    plugin.settle();
    EXPECT_EQ(plugin.answers.size(), 2u);
    EXPECT_EQ(logCount(QStringLiteral("*** BLOCKED: <late@x>")), 0);
}

TEST_F(NotificationHandler, ListRequestsAreLowerCasedAndSaved)
{
    const struct {
        const char *name;
        const char *key;
        const char *value;
        const char *list;
    } requests[] = {
        {"QV_ADD_ADDRESS_TO_BLACKLIST", "Address", "Offers@Spam.Example", "BlackList"},
        {"QV_ADD_DOMAIN_TO_BLACKLIST", "Domain", "Spam.Example", "BlackList"},
        {"QV_ADD_ADDRESS_TO_WHITELIST", "Address", "Friend@Home.Example", "WhiteList"},
        {"QV_ADD_DOMAIN_TO_WHITELIST", "Domain", "HOME.example", "WhiteList"},
    };
    for (const auto &request : requests)
        plugin.post(QString::fromLatin1(request.name), {{request.key, QString::fromLatin1(request.value)}});
    plugin.settle();
    for (const auto &request : requests) {
        SCOPED_TRACE(request.name);
        const QString lowered = QString::fromLatin1(request.value).toLower();
        QVMailList *live =
            QString::fromLatin1(request.list) == u"BlackList" ? manager->blackList() : manager->whiteList();
        EXPECT_TRUE(live->containsItem(lowered));
        // Written a moment later, with whatever else changed meanwhile.
        EXPECT_TRUE(waitFor([&] {
            const QVMailList saved(QString::fromLatin1(request.list));
            for (qsizetype i = 0; i < saved.numberOfItems(); ++i) {
                if (saved.itemAtIndex(i) == lowered)
                    return true;
            }
            return false;
        })) << "saved as "
            << lowered.toStdString();
    }
    EXPECT_TRUE(plugin.answers.empty());
}

// Empty, blank, missing and mistyped values are ignored with a log line, and a
// message request without its bytes or its id gets no answer.
TEST_F(NotificationHandler, IgnoresIncompleteRequests)
{
    const qsizetype whiteBefore = manager->whiteList()->numberOfItems();
    const qsizetype blackBefore = manager->blackList()->numberOfItems();
    const std::pair<const char *, QVariantMap> requests[] = {
        {"QV_ADD_DOMAIN_TO_WHITELIST", {{"Domain", QString("")}}},
        {"QV_ADD_ADDRESS_TO_WHITELIST", {{"Address", QString("  \t")}}},
        {"QV_ADD_DOMAIN_TO_BLACKLIST", {}},
        {"QV_ADD_ADDRESS_TO_BLACKLIST", {{"Address", 42}}},
        {"QV_ADD_MESSAGE",
         {{"Message", kMessage}, {"Address", QString("a@blocked.example")}, {"Domain", QString("blocked.example")}}},
        {"QV_ADD_MESSAGE",
         {{"MessageID", QString("<no-bytes@x>")},
          {"Address", QString("a@blocked.example")},
          {"Domain", QString("blocked.example")}}},
        {"QV_ADD_MESSAGE",
         {{"Message", QString("text, not bytes")},
          {"MessageID", QString("<typed@x>")},
          {"Domain", QString("blocked.example")}}},
        {"QV_BLOCK_MESSAGE", {{"Message", kMessage}}},
        {"QV_UNBLOCK_MESSAGE", {{"MessageID", QString("<no-bytes@x>")}}},
    };
    for (const auto &[name, userInfo] : requests)
        plugin.post(QString::fromLatin1(name), userInfo);
    plugin.settle();
    EXPECT_TRUE(plugin.answers.empty());
    EXPECT_EQ(manager->whiteList()->numberOfItems(), whiteBefore);
    EXPECT_EQ(manager->blackList()->numberOfItems(), blackBefore);
    EXPECT_EQ(logCount(QStringLiteral("*** IGNORED")), static_cast<qsizetype>(std::size(requests)));
    EXPECT_EQ(state.count(QStringLiteral("create")), 0);

    // A sender without "@" has an empty domain, which matches nothing.
    plugin.post(QStringLiteral("QV_ADD_MESSAGE"),
                {{"Message", kMessage},
                 {"MessageID", QString("<nodomain@x>")},
                 {"Address", QString("undisclosed")},
                 {"Domain", QString("")}});
    plugin.settle();
    EXPECT_TRUE(plugin.answers.empty());
}

// Lookups run beside each other and end in any order; the verdicts are
// answered in the order the messages came, those the lists decide at once
// included, and the main thread never waits for the servers meanwhile.
TEST_F(NotificationHandler, VerdictsKeepTheirOrderWhateverOrderTheServersAnswerIn)
{
    state.score = 100;
    state.holdCompletions = true;
    const QStringList order = {"<engine-1@x>", "<listed-2@x>", "<engine-3@x>", "<engine-4@x>", "<listed-5@x>"};
    for (const QString &id : order)
        plugin.postMessage(
            id, id.startsWith(u"<listed") ? QStringLiteral("a@blocked.example") : QStringLiteral("a@x.example"));
    ASSERT_TRUE(waitFor([&] { return state.count(QStringLiteral("lookup")) == 3; }));
    EXPECT_EQ(manager->requestsInFlight(), 3) << "the lookups run beside each other";

    // The last lookup ends first, then the middle one: still no answer, the
    // first message has no verdict yet.
    for (int ended = 1; ended <= 2; ++ended) {
        ASSERT_TRUE(state.releaseLatestCompletion());
        ASSERT_TRUE(waitFor([&] { return manager->requestsInFlight() == 3 - ended; }));
    }
    EXPECT_FALSE(waitFor([&] { return !plugin.answers.empty(); }, 200));
    EXPECT_EQ(logCount(QStringLiteral("*** DETECTED SPAM: <listed-2@x>")), 0);

    ASSERT_TRUE(state.releaseLatestCompletion());
    ASSERT_TRUE(waitFor([&] { return plugin.answers.size() == std::size_t(order.size()); }));
    QStringList answered;
    for (const auto &answer : plugin.answers)
        answered << answer.stringValue("MessageID");
    EXPECT_EQ(answered, order);
    const QString log = coreLog();
    qsizetype previous = -1;
    for (const QString &id : order) {
        const qsizetype at = log.indexOf(QStringLiteral("*** DETECTED SPAM: ") + id);
        EXPECT_GT(at, previous) << id.toStdString();
        previous = at;
    }
}

TEST_F(NotificationHandler, HearsNothingOnceGone)
{
    manager.reset();
    plugin.post(QStringLiteral("QV_ADD_MESSAGE"), messageRequest("<late@x>", "a@blocked.example"));
    QCoreApplication::processEvents();
    EXPECT_FALSE(waitFor([&] { return !plugin.answers.empty(); }, 300));
}

}  // namespace
