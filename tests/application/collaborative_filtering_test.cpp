// The road the system exists for, with every real part: the manager drives the
// shipped engine through the gateway against the stand-in classification
// server, which learns from reports and revokes and keeps what it learned
// across a restart.
#include "QVEngineAPI.h"
#include "QVServiceInfo.h"
#include "QVSpamManager.h"
#include "classification_server.hpp"
#include "loopback_address.h"
#include "support.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <unistd.h>

#include <algorithm>
#include <memory>
#include <optional>

namespace {

namespace stand_in = quorvane::standins::classification_server;

const QByteArray &kFirst = kCampaignFirst;
const QByteArray &kSecond = kCampaignSecond;

// The gateway, with the result of its shutdown kept for the test.
class RecordingGateway final : public QVEngineAPI {
public:
    explicit RecordingGateway(std::optional<uint32_t> &shutdownResult) : shutdownResult_(shutdownResult) {}

    uint32_t initialize(const QByteArray &d, const qvse_callbacks_t &c) override { return real_.initialize(d, c); }
    uint32_t shutdown() override { return *(shutdownResult_ = real_.shutdown()); }
    uint32_t connect(const std::wstring &h) override { return real_.connect(h); }
    uint32_t createContext(void *c) override { return real_.createContext(c); }
    uint32_t destroyContext(void *c) override { return real_.destroyContext(c); }
    uint32_t bindBuffer(void *c, const char *d, size_t l) override { return real_.bindBuffer(c, d, l); }
    uint32_t authenticate(void *c, uint32_t k, uint32_t u, const std::wstring &s) override
    {
        return real_.authenticate(c, k, u, s);
    }
    uint32_t prepare(void *c) override { return real_.prepare(c); }
    uint32_t lookup(void *c, uint32_t t, bool a) override { return real_.lookup(c, t, a); }
    uint32_t classification(void *c, bool *w, bool *b, uint32_t *s) override
    {
        return real_.classification(c, w, b, s);
    }
    uint32_t languageClassification(void *c) override { return real_.languageClassification(c); }
    uint32_t report(void *c, bool f, uint32_t t, bool a) override { return real_.report(c, f, t, a); }
    uint32_t revoke(void *c, bool f, uint32_t t, bool a) override { return real_.revoke(c, f, t, a); }

private:
    QVGatewayEngine real_;
    std::optional<uint32_t> &shutdownResult_;
};

// The stand-in server as its own program, as the local run starts it.
class ServerProcess {
public:
    ServerProcess(const QStringList &arguments) : arguments_(arguments)
    {
        QObject::connect(&process_, &QProcess::readyReadStandardOutput,
                         [this] { output_ += QString::fromUtf8(process_.readAllStandardOutput()); });
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    }
    ~ServerProcess() { stop(); }

    bool start()
    {
        output_.clear();
        process_.start(QStringLiteral(QV_CLASSIFICATION_SERVER_PATH), arguments_);
        return waitFor([&] { return output_.contains(u"listening on") || process_.state() == QProcess::NotRunning; },
                       30000)
            && process_.state() == QProcess::Running;
    }
    void stop()
    {
        if (process_.state() == QProcess::NotRunning)
            return;
        process_.terminate();
        if (!process_.waitForFinished(10000)) {
            process_.kill();
            process_.waitForFinished(10000);
        }
    }
    int exitCode() const { return process_.exitCode(); }
    // Waits for the line the server prints once it learned a report or revoke.
    bool waitForLearning(const QString &what, int count)
    {
        return waitFor([&] { return output_.count(QStringLiteral("learned ") + what) >= count; }, 20000);
    }

private:
    QStringList arguments_;
    QProcess process_;
    QString output_;
};

// A machine with a known id, the application's engine folder and the
// server's program with its store, all in a scratch folder.
class CollaborativeFiltering : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(scratch.isValid());
        // A known machine, so the server can be given its credential.
        ASSERT_TRUE(useMachineId(QDir(scratch.path()), "0f5a3c2e9d8b47a6b1c0d2e3f4a5b6c7"));
        machineID = QVServiceInfo::machineID();
        ASSERT_FALSE(machineID.isEmpty());

        // The engine directory of the application: the shipped library alone.
        engineDirectory = scratch.filePath(QStringLiteral("engine"));
        ASSERT_TRUE(QDir().mkpath(engineDirectory));
        ASSERT_TRUE(QFile::copy(QStringLiteral(QV_ENGINE_LIBRARY_PATH),
                                engineDirectory + QStringLiteral("/" QVSE_ENGINE_LIBRARY_NAME)));
    }
    void TearDown() override { QVServiceInfo::setMachineIdFilesForTesting({QStringLiteral("/etc/machine-id")}); }

    // The engine connects on the fixed port: a loopback address of this
    // test's own, or the next attempt's when another run holds the port.
    QString address = ownAddress(0);
    static QString ownAddress(unsigned attempt)
    {
        return QString::fromStdString(quorvane::testing::loopback_address(
            ::testing::UnitTest::GetInstance()->current_test_info()->name(), attempt));
    }
    std::unique_ptr<ServerProcess> startServer()
    {
        for (unsigned attempt = 0; attempt < quorvane::testing::loopback_attempts; ++attempt) {
            address = ownAddress(attempt);
            auto server = std::make_unique<ServerProcess>(serverArguments());
            if (server->start())
                return server;
        }
        return nullptr;
    }
    QStringList serverArguments(const QString &port = QStringLiteral("2409"))
    {
        return {"--address",    address,
                "--port",       port,
                "--credential", "10:0:" + machineID,
                "--engine",     QFileInfo(QStringLiteral(QV_ENGINE_LIBRARY_PATH)).absolutePath(),
                "--store",      store};
    }
    static bool verdict(QVSpamManager &manager, const QByteArray &message, uint32_t &score)
    {
        EXPECT_TRUE(manager.getSpamProbabilityForData(message, &score, nullptr, nullptr, nullptr));
        return manager.isSpamForMessageData(message, QStringLiteral("<id>"), QStringLiteral("someone@else.example"),
                                            QStringLiteral("else.example"));
    }

    QTemporaryDir scratch;
    QString machineID;
    QString engineDirectory;
    const QString store = scratch.filePath(QStringLiteral("learned.store"));
};

TEST_F(CollaborativeFiltering, AReportedLinkMakesTheNextMessageSpamAcrossARestart)
{
    const auto server = startServer();
    ASSERT_TRUE(server) << "no loopback address could be bound";

    std::optional<uint32_t> shutdownResult;
    {
        QVSpamManager manager(std::make_unique<RecordingGateway>(shutdownResult), engineDirectory, address, nullptr);
        ASSERT_TRUE(manager.isEngineRunning());
        uint32_t first = 100;
        EXPECT_FALSE(verdict(manager, kFirst, first));
        EXPECT_EQ(first, 0u) << "nobody has reported the message yet";

        EXPECT_TRUE(manager.reportSpamForData(kFirst));
        ASSERT_TRUE(server->waitForLearning(QStringLiteral("report"), 1));

        uint32_t second = 0;
        EXPECT_TRUE(verdict(manager, kSecond, second));
        EXPECT_GT(second, first);
    }
    ASSERT_TRUE(shutdownResult.has_value());
    EXPECT_EQ(*shutdownResult, 0u) << "no context left behind";

    // What was learned survives a restart.
    server->stop();
    EXPECT_EQ(server->exitCode(), 0);
    ASSERT_TRUE(server->start());
    shutdownResult.reset();
    {
        QVSpamManager manager(std::make_unique<RecordingGateway>(shutdownResult), engineDirectory, address, nullptr);
        uint32_t score = 0;
        EXPECT_TRUE(verdict(manager, kSecond, score));
        EXPECT_EQ(score, 100u);

        // One revoke against one report: the link no longer counts.
        EXPECT_TRUE(manager.revokeSpamForData(kFirst));
        ASSERT_TRUE(server->waitForLearning(QStringLiteral("revoke"), 1));
        EXPECT_FALSE(verdict(manager, kSecond, score));
        EXPECT_LT(score, 50u);
    }
    ASSERT_TRUE(shutdownResult.has_value());
    EXPECT_EQ(*shutdownResult, 0u);
    server->stop();

    const auto records = stand_in::read_store(store.toStdString());
    std::string stored;
    for (const auto &record : records)
        stored += std::to_string(record.category) + " " + std::to_string(record.reports) + "/"
            + std::to_string(record.revokes) + "\n";
    const auto links = std::count_if(records.begin(), records.end(), [](const stand_in::record_type &record) {
        return record.category == 64 && record.data.find("example.prize/claim") != std::string::npos
            && record.reports == 1 && record.revokes == 1;
    });
    EXPECT_EQ(links, 1) << stored;
}

// Without a link, the message's text digests alone find it again.
TEST_F(CollaborativeFiltering, AReportedMessageWithoutLinksIsKnownAgainAcrossARestart)
{
    const QByteArray message = QByteArrayLiteral(
        "From: Offers <offers@deals.example>\r\n"
        "To: someone@example.org\r\n"
        "Subject: Your prize\r\n"
        "Content-Type: text/plain; charset=utf-8\r\n"
        "\r\n"
        "Congratulations, you have been chosen to receive an exclusive prize from our partners. "
        "Reply with your postal address and bank details today, and the prize will be sent within the week.\r\n");
    const auto server = startServer();
    ASSERT_TRUE(server) << "no loopback address could be bound";
    std::optional<uint32_t> shutdownResult;
    {
        QVSpamManager manager(std::make_unique<RecordingGateway>(shutdownResult), engineDirectory, address, nullptr);
        uint32_t score = 100;
        EXPECT_FALSE(verdict(manager, message, score));
        EXPECT_EQ(score, 0u);
        EXPECT_TRUE(manager.reportSpamForData(message));
        ASSERT_TRUE(server->waitForLearning(QStringLiteral("report"), 1));
        EXPECT_TRUE(verdict(manager, message, score));
        EXPECT_EQ(score, 100u);
    }
    server->stop();
    ASSERT_TRUE(server->start());
    {
        QVSpamManager manager(std::make_unique<RecordingGateway>(shutdownResult), engineDirectory, address, nullptr);
        uint32_t score = 0;
        EXPECT_TRUE(verdict(manager, message, score));
        EXPECT_EQ(score, 100u);
    }
    server->stop();
}

// A store the server cannot read is left as it is: the server refuses to
// start instead of overwriting it.
TEST_F(CollaborativeFiltering, AnUnreadableStoreIsKeptAndRefused)
{
    const QByteArray damaged = "qv-classification-server store 1\n64 1 0 0 3 zz\n";
    {
        QFile file(store);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(damaged);
    }
    ServerProcess server(serverArguments(QStringLiteral("0")));
    EXPECT_FALSE(server.start());
    EXPECT_EQ(server.exitCode(), 1);
    QFile file(store);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), damaged);
}

}  // namespace
