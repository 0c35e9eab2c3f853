// The verdict's lookup with the shipped engine against the stand-in
// classification server: it carries the account's user number, and it waits
// for a slow server as long as its deadline allows.
#include "PropertyList.h"
#include "QVBundleExtensions.h"
#include "QVEngineAPI.h"
#include "QVServiceInfo.h"
#include "QVSpamManager.h"
#include "loopback_address.h"
#include "support.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <thread>

namespace {

const QByteArray &kReported = kCampaignFirst;
const QByteArray &kJudged = kCampaignSecond;

constexpr uint32_t kUserID = 4242;

// Forwards UDP between the engine and the server, holding every datagram
// for a while each way: a server far away.
class DelayingRelay {
public:
    // Binds at once, so that a taken address is known before the server
    // starts; relays once start names the server's port.
    DelayingRelay(const QString &address, uint16_t port) : address_(address)
    {
        sockaddr_in own = socketAddress(address, port);
        front_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        back_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        bound_ = ::bind(front_, reinterpret_cast<sockaddr *>(&own), sizeof own) == 0;
        sockaddr_in any = socketAddress(address, 0);
        bound_ = bound_ && ::bind(back_, reinterpret_cast<sockaddr *>(&any), sizeof any) == 0;
    }
    ~DelayingRelay()
    {
        stopping_ = true;
        if (thread_.joinable())
            thread_.join();
        ::close(front_);
        ::close(back_);
    }
    void start(uint16_t serverPort)
    {
        server_ = socketAddress(address_, serverPort);
        thread_ = std::thread([this] { run(); });
    }
    bool isBound() const { return bound_; }
    void setDelay(std::chrono::milliseconds delay) { delay_ = delay.count(); }

private:
    static sockaddr_in socketAddress(const QString &address, uint16_t port)
    {
        sockaddr_in result{};
        result.sin_family = AF_INET;
        result.sin_port = htons(port);
        ::inet_pton(AF_INET, address.toLatin1().constData(), &result.sin_addr);
        return result;
    }
    void run()
    {
        sockaddr_in engine{};
        char datagram[65536];
        while (!stopping_) {
            pollfd sockets[] = {{front_, POLLIN, 0}, {back_, POLLIN, 0}};
            if (::poll(sockets, 2, 50) <= 0)
                continue;
            for (int k = 0; k < 2; ++k) {
                if (!(sockets[k].revents & POLLIN))
                    continue;
                sockaddr_in from{};
                socklen_t fromLength = sizeof from;
                const ssize_t length = ::recvfrom(sockets[k].fd, datagram, sizeof datagram, 0,
                                                  reinterpret_cast<sockaddr *>(&from), &fromLength);
                if (length < 0)
                    continue;
                std::this_thread::sleep_for(std::chrono::milliseconds(delay_.load()));
                if (k == 0) {
                    engine = from;
                    ::sendto(back_, datagram, static_cast<size_t>(length), 0, reinterpret_cast<sockaddr *>(&server_),
                             sizeof server_);
                } else {
                    ::sendto(front_, datagram, static_cast<size_t>(length), 0, reinterpret_cast<sockaddr *>(&engine),
                             sizeof engine);
                }
            }
        }
    }

    QString address_;
    int front_ = -1;
    int back_ = -1;
    bool bound_ = false;
    sockaddr_in server_{};
    std::atomic<bool> stopping_{false};
    std::atomic<long> delay_{0};
    std::thread thread_;
};

class LookupWithTheServers : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(scratch.isValid());
        ASSERT_TRUE(useMachineId(QDir(scratch.path()), "7c1e5a3b9d8f41a6b2c0d4e3f5a6b7c8"));
        engineDirectory = scratch.filePath(QStringLiteral("engine"));
        ASSERT_TRUE(QDir().mkpath(engineDirectory));
        ASSERT_TRUE(QFile::copy(QStringLiteral(QV_ENGINE_LIBRARY_PATH),
                                engineDirectory + QStringLiteral("/" QVSE_ENGINE_LIBRARY_NAME)));

        // The relay takes the engine's fixed port on a loopback address of
        // this test's own, or the next attempt's when another run holds it.
        const std::string test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        for (unsigned attempt = 0; !relay && attempt < quorvane::testing::loopback_attempts; ++attempt) {
            address = QString::fromStdString(quorvane::testing::loopback_address(test, attempt));
            relay = std::make_unique<DelayingRelay>(address, 2409);
            if (!relay->isBound())
                relay.reset();
        }
        ASSERT_TRUE(relay) << "no loopback address could be bound";

        // Only the account's user number is known to the server.
        server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QObject::connect(&server, &QProcess::readyReadStandardOutput,
                         [this] { output += QString::fromUtf8(server.readAllStandardOutput()); });
        server.start(
            QStringLiteral(QV_CLASSIFICATION_SERVER_PATH),
            {"--address", address, "--port", "0", "--credential",
             QStringLiteral("%1:%2:").arg(QVSpamManager::kUserIdentityKind).arg(kUserID) + QVServiceInfo::machineID(),
             "--engine", QFileInfo(QStringLiteral(QV_ENGINE_LIBRARY_PATH)).absolutePath()});
        static const QRegularExpression listening(QStringLiteral("listening on \\S+ port (\\d+)"));
        ASSERT_TRUE(waitFor([&] { return listening.match(output).hasMatch(); }, 30000)) << output.toStdString();
        relay->start(static_cast<uint16_t>(listening.match(output).captured(1).toUInt()));
    }
    void TearDown() override
    {
        relay.reset();
        server.terminate();
        server.waitForFinished(10000);
        QFile::remove(accountRecord());
        QVServiceInfo::setMachineIdFilesForTesting({QStringLiteral("/etc/machine-id")});
    }

    static QString accountRecord()
    {
        return QVNSBundleExtensions::applicationSupportDirectory() + QStringLiteral("/Account.plist");
    }
    static void writeAccount(const QVariant &userID)
    {
        QVariantMap record;
        if (userID.isValid())
            record.insert(QStringLiteral("userID"), userID);
        QFile file(accountRecord());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(*PropertyList::toXml(record));
    }
    uint32_t score(QVSpamManager &manager, const QByteArray &message)
    {
        uint32_t value = 1000;
        EXPECT_TRUE(manager.getSpamProbabilityForData(message, &value, nullptr, nullptr, nullptr));
        return value;
    }

    QTemporaryDir scratch;
    QString engineDirectory;
    QString address;
    QProcess server;
    QString output;
    std::unique_ptr<DelayingRelay> relay;
};

// The user number comes from the account record; a server that knows only
// that user answers only when the record names it.
TEST_F(LookupWithTheServers, CarriesTheAccountsUserNumber)
{
    QVSpamManager manager(std::make_unique<QVGatewayEngine>(), engineDirectory, address, nullptr);
    ASSERT_TRUE(manager.isEngineRunning());
    writeAccount(QString::number(kUserID));
    ASSERT_EQ(manager.userIDIdentity(), kUserID);
    bool reported = false;
    ASSERT_TRUE(manager.reportSpamForData(kReported, [&](uint32_t status) { reported = status == QVSE_OK; }));
    ASSERT_TRUE(waitFor([&] { return reported; }, 20000)) << output.toStdString();
    const uint32_t known = score(manager, kJudged);
    EXPECT_GT(known, 0u) << "the server's answer counts";
    EXPECT_TRUE(output.contains(QStringLiteral(" user %1 ").arg(kUserID))) << output.toStdString();

    const struct {
        const char *name;
        QVariant userID;
        qint64 identity;
    } others[] = {
        {"no record", QVariant(), 0},
        {"another user", QStringLiteral("4243"), 4243},
        {"not a number", QStringLiteral("four"), 0},
        {"a number in the record", QVariant(qint64(4243)), 4243},
    };
    for (const auto &other : others) {
        SCOPED_TRACE(other.name);
        if (other.userID.isValid() || QFile::exists(accountRecord()))
            writeAccount(other.userID);
        if (!other.userID.isValid())
            QFile::remove(accountRecord());
        EXPECT_EQ(manager.userIDIdentity(), other.identity);
        const qsizetype refused = logCount(QStringLiteral("Lookup failed with error: 40004"));
        EXPECT_LT(score(manager, kJudged), known) << "the server refused the unknown user";
        EXPECT_EQ(logCount(QStringLiteral("Lookup failed with error: 40004")), refused + 1);
    }
}

// A server far away answers a lookup after most of a second; the verdict
// waits for it (its deadline is 5,000 ms) and the answer counts.
TEST_F(LookupWithTheServers, WaitsForAFarServer)
{
    EXPECT_EQ(QVSpamManager::kLookupDeadline, std::chrono::milliseconds(5000));
    writeAccount(QString::number(kUserID));
    // Far from the start, so that the engine's probe measures it so.
    relay->setDelay(std::chrono::milliseconds(300));
    QVSpamManager manager(std::make_unique<QVGatewayEngine>(), engineDirectory, address, nullptr);
    std::optional<uint32_t> reported;
    ASSERT_TRUE(waitFor(
        [&] {
            // The first probe may still be under way: report until one is learned.
            if (!reported || *reported != QVSE_OK) {
                reported.reset();
                manager.reportSpamForData(kReported, [&](uint32_t status) { reported = status; });
                waitFor([&] { return reported.has_value(); }, 5000);
            }
            return reported == QVSE_OK;
        },
        30000))
        << output.toStdString();

    const qsizetype failures = logCount(QStringLiteral("Lookup failed with error"));
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(score(manager, kJudged), 100u) << coreLog().right(2000).toStdString();
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_GE(took, std::chrono::milliseconds(600)) << "the answer came the long way";
    EXPECT_EQ(logCount(QStringLiteral("Lookup failed with error")), failures);
}

}  // namespace
