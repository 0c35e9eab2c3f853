// What any process on the session bus can send: forged log lines, huge
// messages, floods. A second connection plays the peer.
#include "PropertyList.h"
#include "QVBundleExtensions.h"
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
#include <QElapsedTimer>
#include <QRegularExpression>

#include <sys/inotify.h>
#include <unistd.h>

#include <iostream>
#include <thread>
#include <utility>
#include <vector>

namespace {

const QByteArray kMessage = kPlainMessage;

// Counts the times a file of the data folder is written anew (the lists are
// written aside, then moved over the old file).
class WriteCounter {
public:
    explicit WriteCounter(const QString &fileName) : fileName_(fileName.toUtf8())
    {
        descriptor_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        EXPECT_GE(descriptor_, 0);
        EXPECT_GE(::inotify_add_watch(descriptor_,
                                      QFile::encodeName(QVNSBundleExtensions::applicationSupportDirectory()),
                                      IN_MOVED_TO | IN_CLOSE_WRITE),
                  0);
    }
    ~WriteCounter() { ::close(descriptor_); }
    int count()
    {
        alignas(inotify_event) char buffer[64 * 1024];
        for (;;) {
            const ssize_t length = ::read(descriptor_, buffer, sizeof buffer);
            if (length <= 0)
                return writes_;
            for (ssize_t offset = 0; offset < length;) {
                const auto *event = reinterpret_cast<const inotify_event *>(buffer + offset);
                if (event->len > 0 && fileName_ == event->name)
                    ++writes_;
                offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
    }

private:
    QByteArray fileName_;
    int descriptor_ = -1;
    int writes_ = 0;
};

class HostilePeers : public ::testing::Test {
protected:
    void SetUp() override
    {
        manager = std::make_unique<QVSpamManager>(std::make_unique<FakeEngine>(state), QStringLiteral("/engine"),
                                                  QStringLiteral("backend.example"),
                                                  QVDistributedNotificationCenter::defaultCenter());
        // The lists live in files shared by the tests of one process.
        for (QVMailList *list : {manager->blackList(), manager->whiteList()}) {
            QList<qsizetype> all;
            for (qsizetype i = 0; i < list->numberOfItems(); ++i)
                all << i;
            list->removeItemAtIndexes(all);
        }
        manager->blackList()->addItem(QStringLiteral("blocked.example"));
        manager->blackList()->saveToFile();
        // Qt D-Bus holds back a new connection's first signals until its
        // event loop has run once; requests must not overtake them.
        QCoreApplication::processEvents();
    }
    void TearDown() override { manager.reset(); }

    FakeEngineState state;
    std::unique_ptr<QVSpamManager> manager;
    BusPeer peer;
};

// A Message-ID with a line break must not write a verdict line of its own
// into the log that the run script and the end-to-end test read; the answer
// still carries the Message-ID exactly as it came.
TEST_F(HostilePeers, AMessageIDCannotForgeALogLine)
{
    const QString forged = QStringLiteral("<a@x>\n2026:01:01 00:00:00: *** DETECTED SPAM: <victim@x>\r\n\u2028tail");
    peer.postMessage(forged, QStringLiteral("offers@blocked.example"));
    ASSERT_TRUE(peer.answered(forged));

    static const QRegularExpression verdictLine(QStringLiteral("^[0-9: ]+: \\*\\*\\* DETECTED SPAM: (.*)$"),
                                                QRegularExpression::MultilineOption);
    QStringList verdicts;
    for (auto it = verdictLine.globalMatch(coreLog()); it.hasNext();)
        verdicts << it.next().captured(1);
    EXPECT_FALSE(verdicts.contains(QStringLiteral("<victim@x>"))) << verdicts.join(u'|').toStdString();
    EXPECT_TRUE(verdicts.contains(
        QStringLiteral("<a@x>\\n2026:01:01 00:00:00: *** DETECTED SPAM: <victim@x>\\r\\n\\u2028tail")))
        << verdicts.join(u'|').toStdString();
    for (const QString &line : coreLog().split(u'\n', Qt::SkipEmptyParts))
        EXPECT_TRUE(
            QRegularExpression(QStringLiteral("^\\d{4}:\\d{2}:\\d{2} \\d{2}:\\d{2}:\\d{2}: ")).match(line).hasMatch())
            << line.toStdString();
}

// Above the cap a message is refused with one line and reaches nothing; at
// the cap it is judged.
TEST_F(HostilePeers, MessagesAboveTheCapAreRefused)
{
    const qsizetype cap = QVSpamNotificationHandler::kMaximumMessageSize;
    EXPECT_EQ(cap, 2 * 1024 * 1024);
    const struct {
        const char *id;
        qsizetype size;
        bool judged;
    } cases[] = {{"<over@x>", cap + 1, false}, {"<huge@x>", 8 * cap, false}, {"<at@x>", cap, true}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.id);
        QByteArray message = kMessage;
        message.append(c.size - message.size(), 'a');
        const qsizetype refusedBefore =
            logCount(QStringLiteral("*** REFUSED QV_ADD_MESSAGE: ") + QString::fromLatin1(c.id));
        const int engineCalls = state.count(QStringLiteral("create"));
        peer.postMessage(QString::fromLatin1(c.id), QStringLiteral("someone@x.example"), message);
        peer.postMessage(QStringLiteral("<sentinel>"), QStringLiteral("s@blocked.example"));
        ASSERT_TRUE(peer.answered(QStringLiteral("<sentinel>")));
        peer.answers.clear();
        EXPECT_EQ(logCount(QStringLiteral("*** REFUSED QV_ADD_MESSAGE: ") + QString::fromLatin1(c.id)),
                  refusedBefore + (c.judged ? 0 : 1));
        EXPECT_EQ(state.count(QStringLiteral("create")), engineCalls + (c.judged ? 1 : 0));
    }
}

// Message-IDs, addresses and domains are short by nature: a request with a
// huge one is refused before it waits anywhere.
TEST_F(HostilePeers, HugeTextValuesAreRefused)
{
    const QString huge(QVSpamNotificationHandler::kMaximumTextLength + 1, u'x');
    const std::pair<const char *, QVariantMap> requests[] = {
        {"QV_ADD_MESSAGE", {{"Message", kMessage}, {"MessageID", huge}, {"Address", QString("a@blocked.example")}}},
        {"QV_ADD_MESSAGE", {{"Message", kMessage}, {"MessageID", QString("<id@x>")}, {"Address", huge}}},
        {"QV_BLOCK_MESSAGE", {{"Message", kMessage}, {"MessageID", QString("<id@x>")}, {"Domain", huge}}},
        {"QV_ADD_DOMAIN_TO_BLACKLIST", {{"Domain", huge + QStringLiteral(".example")}}},
    };
    const qsizetype before = logCount(QStringLiteral("*** REFUSED"));
    const qsizetype logStart = coreLog().size();
    for (const auto &[name, userInfo] : requests)
        peer.post(QString::fromLatin1(name), userInfo);
    peer.postMessage(QStringLiteral("<sentinel>"), QStringLiteral("s@blocked.example"));
    ASSERT_TRUE(peer.answered(QStringLiteral("<sentinel>")));
    EXPECT_EQ(peer.answers.size(), 1u);
    EXPECT_EQ(logCount(QStringLiteral("*** REFUSED")), before + qsizetype(std::size(requests)));
    EXPECT_EQ(manager->blackList()->numberOfItems(), 1);
    EXPECT_EQ(state.count(QStringLiteral("create")), 0);
    EXPECT_LT(coreLog().size() - logStart, 4096) << "huge values stay out of the log";
}

// A burst of list additions is written a handful of times, not once per
// entry, and a verdict asked for behind it is still given.
TEST_F(HostilePeers, AFloodOfListAdditionsIsWrittenCoalesced)
{
    WriteCounter writes(QStringLiteral("BlackList.plist"));
    constexpr int kAdditions = 10'000;
    QElapsedTimer elapsed;
    elapsed.start();
    for (int i = 0; i < kAdditions; ++i)
        peer.post(QStringLiteral("QV_ADD_DOMAIN_TO_BLACKLIST"),
                  {{"Domain", QStringLiteral("d%1.flood.example").arg(i)}});
    // Adding what is there already writes nothing.
    for (int i = 0; i < 100; ++i)
        peer.post(QStringLiteral("QV_ADD_DOMAIN_TO_BLACKLIST"), {{"Domain", QStringLiteral("BLOCKED.example")}});
    peer.postMessage(QStringLiteral("<behind-the-flood@x>"), QStringLiteral("a@d9999.flood.example"));
    ASSERT_TRUE(peer.answered(QStringLiteral("<behind-the-flood@x>"), 60000));
    std::cout << "[ measured ] 10,000 additions and a verdict behind them: " << elapsed.elapsed() << " ms\n";

    EXPECT_EQ(manager->blackList()->numberOfItems(), kAdditions + 1);
    ASSERT_TRUE(waitFor([&] { return !manager->blackList()->hasUnsavedChanges(); }));
    const int written = writes.count();
    std::cout << "[ measured ] the list file was written " << written << " times\n";
    EXPECT_GE(written, 1);
    EXPECT_LT(written, kAdditions / 20) << "one write per change makes a flood quadratic";
    const QVMailList saved(QStringLiteral("BlackList"));
    EXPECT_EQ(saved.numberOfItems(), kAdditions + 1);

    // Nothing changes: nothing is written.
    peer.post(QStringLiteral("QV_ADD_DOMAIN_TO_BLACKLIST"), {{"Domain", QStringLiteral("d7.flood.example")}});
    peer.postMessage(QStringLiteral("<after@x>"), QStringLiteral("a@blocked.example"));
    ASSERT_TRUE(peer.answered(QStringLiteral("<after@x>")));
    std::this_thread::sleep_for(QVMailList::kSaveDelay * 2);
    QCoreApplication::processEvents();
    EXPECT_EQ(writes.count(), written);
}

// A flood of blocks does not put every message in flight at once: beyond
// the bound they wait, in order, until the servers have answered others.
TEST_F(HostilePeers, BlocksInFlightAreBounded)
{
    constexpr qsizetype kBound = QVSpamManager::kMaximumRequestsInFlight;
    state.holdCompletions = true;
    const QByteArray message = kMessage + QByteArray(100'000, 'b');
    for (qsizetype i = 0; i < kBound + 8; ++i)
        peer.post(QStringLiteral("QV_BLOCK_MESSAGE"),
                  {{"Message", message}, {"MessageID", QStringLiteral("<b%1@x>").arg(i)}});
    peer.postMessage(QStringLiteral("<behind@x>"), QStringLiteral("a@blocked.example"));
    ASSERT_TRUE(waitFor([&] { return manager->requestsInFlight() == kBound; }));
    EXPECT_FALSE(peer.answered(QStringLiteral("<behind@x>"), 300)) << "requests keep their order";
    EXPECT_EQ(state.count(QStringLiteral("report")), kBound);

    state.holdCompletions = false;
    state.releaseCompletions();
    ASSERT_TRUE(peer.answered(QStringLiteral("<behind@x>")));
    EXPECT_EQ(state.count(QStringLiteral("report")), kBound + 8);
    EXPECT_TRUE(waitFor([&] { return manager->requestsInFlight() == 0; }));
}

// What waits is bounded: beyond it requests are dropped and counted, and
// every request is either handled or counted.
TEST_F(HostilePeers, TheQueueIsBoundedAndCountsWhatItDrops)
{
    constexpr qsizetype kExtra = 100;
    // The first verdict keeps the main thread busy while the flood arrives.
    bool first = true;
    state.duringLookup = [&first] {
        if (std::exchange(first, false))
            std::this_thread::sleep_for(std::chrono::seconds(3));
    };
    peer.postMessage(QStringLiteral("<slow@x>"), QStringLiteral("a@x.example"));
    for (qsizetype i = 0; i < QVSpamNotificationHandler::kMaximumWaitingRequests + kExtra; ++i)
        peer.post(QStringLiteral("QV_ADD_ADDRESS_TO_WHITELIST"), {{"Address", QStringLiteral("w%1@x.example").arg(i)}});
    peer.postMessage(QStringLiteral("<last@x>"), QStringLiteral("a@blocked.example"));
    const auto droppedLine = [] {
        return QRegularExpression(
                   QStringLiteral("\\*\\*\\* DROPPED (\\d+) requests that came while the queue was full"))
            .match(coreLog());
    };
    ASSERT_TRUE(waitFor([&] { return droppedLine().hasMatch(); }, 20000))
        << manager->whiteList()->numberOfItems() << " added, " << logCount(QStringLiteral("DROPPING")) << " "
        << manager->notificationHandler()->waitingRequestCount() << " waiting";
    const qsizetype dropped = droppedLine().captured(1).toLongLong();
    const qsizetype added = manager->whiteList()->numberOfItems();
    const bool lastAnswered = peer.hasAnswer(QStringLiteral("<last@x>"));
    EXPECT_EQ(added + dropped + (lastAnswered ? 1 : 0),
              QVSpamNotificationHandler::kMaximumWaitingRequests + kExtra + 1);
    EXPECT_GE(dropped, 1);
    EXPECT_EQ(logCount(QStringLiteral("*** DROPPING requests: ")), 1) << "one line when dropping starts";
}

}  // namespace
