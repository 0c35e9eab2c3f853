// The sample messages that the run script delivers must each take the road
// they are named after. Each sample goes through the application's spam
// manager with the run script's lists, the real engine behind the gateway
// and the stand-in classification server; the verdict and the manager's
// reason line in QVCore.log are checked.
#include "loopback_address.h"
#include "wait_for.h"
#include "QVDistributedNotificationCenter.h"
#include "QVEngineAPI.h"
#include "QVLanguageList.h"
#include "QVMailList.h"
#include "QVServiceInfo.h"
#include "QVSpamManager.h"
#include "QVUserDefaults.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <csignal>
#include <memory>

#include <sys/prctl.h>

namespace {

// What the run script puts on the lists before the first run.
const QString kBlockedSender = QStringLiteral("offers@bulk-deals.test");
const QString kAllowedSender = QStringLiteral("anna.berg@friends.test");
const QString kRemovedLanguage = QStringLiteral("it");

QByteArray sample(const QString &name)
{
    QFile file(QStringLiteral(QV_SAMPLES_DIRECTORY "/") + name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString headerValue(const QByteArray &message, const QByteArray &name)
{
    for (const QByteArray &line : message.split('\n')) {
        if (line.trimmed().isEmpty())
            break;
        if (line.toLower().startsWith(name.toLower() + ':'))
            return QString::fromUtf8(line.mid(name.size() + 1)).trimmed();
    }
    return QString();
}

// The sender's bare address as the mail plug-in takes it from the sender text.
QString addressFromSender(const QString &sender)
{
    const qsizetype open = sender.indexOf(u'<');
    if (open < 0)
        return sender;
    const qsizetype close = sender.indexOf(u'>', open + 1);
    return close < 0 ? sender.mid(open + 1) : sender.mid(open + 1, close - open - 1);
}

QString logText()
{
    QFile file(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
               + QStringLiteral("/Quorvane/Logs/QVCore.log"));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// The manager's lines about one message: from its "Checking" line to the
// next one.
QString linesAbout(const QString &log, const QString &messageID)
{
    const qsizetype start = log.lastIndexOf(QStringLiteral("*** Checking for SPAM messageID ") + messageID + u',');
    if (start < 0)
        return QString();
    const qsizetype end = log.indexOf(QStringLiteral("*** Checking for SPAM"), start + 1);
    return log.mid(start, end < 0 ? -1 : end - start);
}

class Samples : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(sample(QStringLiteral("05-ordinary-mail.eml")).isEmpty()) << "samples not found";
        QVUserDefaults::standardUserDefaults().registerDefaults(QVUserDefaults::applicationDefaults());

        // Each test runs in its own process next to others, and other runs of
        // the suite may run beside it: a loopback address of its own, since
        // the engine's port is fixed, and another when that one is taken.
        const std::string test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        for (unsigned attempt = 0; attempt < quorvane::testing::loopback_attempts; ++attempt) {
            address_ = QString::fromStdString(quorvane::testing::loopback_address(test, attempt));
            if (startServer())
                break;
        }
        ASSERT_EQ(server_.state(), QProcess::Running) << serverOutput_.constData();

        // The gateway watches its engine directory: give it a folder of its own.
        ASSERT_TRUE(engineDirectory_.isValid());
        ASSERT_TRUE(QFile::copy(QStringLiteral(QV_ENGINE_LIBRARY_PATH),
                                engineDirectory_.filePath(QStringLiteral("libqvse.so"))));
        manager_ = new QVSpamManager(std::make_unique<QVGatewayEngine>(), engineDirectory_.path(), address_,
                                     QVDistributedNotificationCenter::defaultCenter(), qApp);
        ASSERT_TRUE(manager_->isEngineRunning());
        manager_->blackList()->addItem(kBlockedSender);
        manager_->whiteList()->addItem(kAllowedSender);
        manager_->languageList().setUsageType(1, kRemovedLanguage);
    }

    // The server as the run script starts it: learning, with the engine's
    // fingerprints of what is reported to it. False when it did not start
    // (its address taken, for one).
    bool startServer()
    {
        serverOutput_.clear();
        server_.setProcessChannelMode(QProcess::MergedChannels);
        // A test that dies must not leave the server holding its address.
        server_.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
        QObject::disconnect(&server_, &QProcess::readyRead, nullptr, nullptr);
        QObject::connect(&server_, &QProcess::readyRead, [this] { serverOutput_ += server_.readAll(); });
        server_.start(
            QStringLiteral(QV_CLASSIFICATION_SERVER_PATH),
            {QStringLiteral("--address"), address_, QStringLiteral("--port"), QStringLiteral("2409"),
             QStringLiteral("--credential"),
             QStringLiteral("10:%1:%2").arg(QVServiceInfo::userID().toLongLong()).arg(QVServiceInfo::machineID()),
             QStringLiteral("--engine"), QFileInfo(QStringLiteral(QV_ENGINE_LIBRARY_PATH)).absolutePath()});
        waitFor([&] { return serverOutput_.contains("listening on") || server_.state() == QProcess::NotRunning; },
                30000);
        if (server_.state() == QProcess::Running && serverOutput_.contains("listening on"))
            return true;
        server_.kill();
        server_.waitForFinished(10000);
        return false;
    }

    void TearDown() override
    {
        QVSpamManager::shutDown();
        // The gateway's trace of the engine's shut-down (extended logging is on).
        EXPECT_TRUE(logText().contains(QStringLiteral("dlclose() succeeded")));
        EXPECT_FALSE(logText().contains(QStringLiteral("Failed to shut down engine")));
        server_.terminate();
        if (!server_.waitForFinished(10000))
            server_.kill();
    }

    // The verdict on a sample, as the plug-in would ask for it.
    bool isSpam(const QByteArray &message)
    {
        const QString address = addressFromSender(headerValue(message, "From"));
        const QString domain = address.mid(address.indexOf(u'@') + 1);
        return manager_->isSpamForMessageData(message, headerValue(message, "Message-ID"), address, domain);
    }

    QString address_;
    QProcess server_;
    QByteArray serverOutput_;
    QTemporaryDir engineDirectory_;
    QVSpamManager *manager_ = nullptr;
};

TEST_F(Samples, EachSampleTakesItsRoad)
{
    const struct {
        const char *file;
        bool spam;
        const char *reason;  // a line of the manager's log about the message
    } cases[] = {
        {"01-block-listed-sender.eml", true, "*** SPAM: blacklisted"},
        {"02-allow-listed-sender-spam-text.eml", false, "*** NOT SPAM: whitelisted"},
        {"03-test-pattern.eml", true, "*** The message is inBlackList YES, inWhiteList NO, probability 100"},
        {"04-language-marked-remove.eml", true, "*** SPAM: Language Remove"},
        {"05-ordinary-mail.eml", false, "*** The message is inBlackList NO, inWhiteList NO, probability 0"},
        {"06-campaign-first.eml", false, "*** The message is inBlackList NO, inWhiteList NO, probability 0"},
        // Nobody has reported the campaign yet.
        {"07-campaign-second.eml", false, "*** The message is inBlackList NO, inWhiteList NO, probability 0"},
    };
    for (const auto &entry : cases) {
        SCOPED_TRACE(entry.file);
        const QByteArray message = sample(QString::fromLatin1(entry.file));
        ASSERT_FALSE(message.isEmpty());
        EXPECT_EQ(isSpam(message), entry.spam);
        const QString lines = linesAbout(logText(), headerValue(message, "Message-ID"));
        EXPECT_TRUE(lines.contains(QString::fromLatin1(entry.reason))) << qPrintable(lines);
    }
    // The allow list decides before the engine would see the test pattern.
    EXPECT_FALSE(linesAbout(logText(), QStringLiteral("<c2a91f0e.anna@friends.test>")).contains(u"probability"));
}

TEST_F(Samples, TheSecondMessageOfTheCampaignIsCaughtOnceTheFirstIsReported)
{
    const QByteArray first = sample(QStringLiteral("06-campaign-first.eml"));
    const QByteArray second = sample(QStringLiteral("07-campaign-second.eml"));
    EXPECT_FALSE(isSpam(first));
    ASSERT_TRUE(manager_->reportSpamForData(first));
    ASSERT_TRUE(waitFor([&] { return serverOutput_.contains("learned report"); }, 20000)) << serverOutput_.constData();
    EXPECT_TRUE(isSpam(second));
    const QString lines = linesAbout(logText(), headerValue(second, "Message-ID"));
    EXPECT_TRUE(lines.contains(QStringLiteral("*** SPAM: Threshold"))) << qPrintable(lines);
    // Other mail is not touched by the campaign's report.
    EXPECT_FALSE(isSpam(sample(QStringLiteral("05-ordinary-mail.eml"))));
}

TEST_F(Samples, TheSecondMessageOfTheCampaignSharesTheLinksOfTheFirst)
{
    const QRegularExpression link(QStringLiteral("http://[^\\s\"<>]+"));
    const auto links = [&](const QByteArray &message) {
        QSet<QString> found;
        for (const auto &match : link.globalMatch(QString::fromUtf8(message)))
            found.insert(match.captured());
        return found;
    };
    const auto first = links(sample(QStringLiteral("06-campaign-first.eml")));
    const auto second = links(sample(QStringLiteral("07-campaign-second.eml")));
    EXPECT_FALSE(first.isEmpty());
    EXPECT_EQ(first, second);
    // No other sample points there, so only the campaign is caught by them.
    for (const char *other : {"01-block-listed-sender.eml", "02-allow-listed-sender-spam-text.eml",
                              "03-test-pattern.eml", "04-language-marked-remove.eml", "05-ordinary-mail.eml"})
        EXPECT_TRUE(links(sample(QString::fromLatin1(other))).intersect(first).isEmpty()) << other;
}

TEST_F(Samples, TheFaultSamplesAreJudgedWithoutHarm)
{
    QFile headerOnly(QStringLiteral(QV_SAMPLES_DIRECTORY "/faults/header-without-body.eml"));
    ASSERT_TRUE(headerOnly.open(QIODevice::ReadOnly));
    const QByteArray cases[] = {
        headerOnly.readAll(),
        QByteArray(),
        QByteArray("\x00\xff\xfe\x01\x02garbage\x00\x00", 14),
    };
    for (const QByteArray &message : cases)
        EXPECT_FALSE(isSpam(message));
}

}  // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
