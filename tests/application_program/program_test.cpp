// The application as the desktop runs it, on the private session bus of the
// test: quitting with a full queue, claiming its name only once it listens,
// and leaving when its bus is gone.
#include "QVDistributedNotificationCenter.h"
#include "QVRunningApplications.h"
#include "loopback_address.h"
#include "wait_for.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusServiceWatcher>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QUdpSocket>

#include <unistd.h>

#include <optional>
#include <vector>

namespace {

const QString kApplicationName = QString::fromLatin1(QVRunningApplications::kApplicationBundleIdentifier);

QString dataFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/Quorvane");
}

QString coreLog()
{
    QFile file(dataFolder() + QStringLiteral("/Logs/QVCore.log"));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// A loopback address of this test's own, so that runs beside each other
// never share the classification port; the next attempt's once another run
// was found holding the port there.
unsigned loopbackAttempt = 0;

QString ownLoopbackAddress()
{
    return QString::fromStdString(quorvane::testing::loopback_address(
        ::testing::UnitTest::GetInstance()->current_test_info()->name(), loopbackAttempt));
}

bool bindOwnLoopbackAddress(QUdpSocket &socket, quint16 port)
{
    for (loopbackAttempt = 0; loopbackAttempt < quorvane::testing::loopback_attempts; ++loopbackAttempt) {
        if (socket.bind(QHostAddress(ownLoopbackAddress()), port))
            return true;
    }
    loopbackAttempt = 0;
    return false;
}

// The program copied beside the engine library, as the bundle lays them out,
// with the settings of a quiet desktop.
class Application {
public:
    Application()
    {
        EXPECT_TRUE(folder_.isValid());
        program_ = folder_.filePath(QStringLiteral("Quorvane"));
        EXPECT_TRUE(QFile::copy(QStringLiteral(QV_APPLICATION_PATH), program_));
        EXPECT_TRUE(
            QFile::copy(QStringLiteral(QV_ENGINE_LIBRARY_PATH), folder_.filePath(QStringLiteral("libqvse.so"))));
        QSettings settings(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
                               + QStringLiteral("/Quorvane/Quorvane.conf"),
                           QSettings::IniFormat);
        settings.setValue(QStringLiteral("QVBackendHost"), ownLoopbackAddress());
        settings.setValue(QStringLiteral("QVCheckForUpdatesAtLaunch"), false);
        settings.setValue(QStringLiteral("QVSpamExtendedLogging"), false);
        settings.setValue(QStringLiteral("EmailAddress"), QStringLiteral("someone@example.org"));
        process_.setProcessChannelMode(QProcess::ForwardedChannels);
    }
    ~Application()
    {
        if (process_.state() != QProcess::NotRunning) {
            process_.kill();
            process_.waitForFinished(10000);
        }
    }

    void start(const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment())
    {
        process_.setProcessEnvironment(environment);
        process_.start(program_,
                       {QStringLiteral("--hidden"), QStringLiteral("-platform"), QStringLiteral("offscreen")});
        ASSERT_TRUE(process_.waitForStarted(10000));
    }
    void signal(int number) const { ::kill(static_cast<pid_t>(process_.processId()), number); }
    // Polls (the test's own loop keeps running) until the program ended.
    bool waitForExit(int milliseconds)
    {
        return waitFor([&] { return process_.state() == QProcess::NotRunning; }, milliseconds);
    }
    int exitCode() const { return process_.exitCode(); }
    bool isRunning() const { return process_.state() != QProcess::NotRunning; }
    QProcess::ExitStatus exitStatus() const { return process_.exitStatus(); }

private:
    QTemporaryDir folder_;
    QString program_;
    QProcess process_;
};

// The plug-in's side of the bus: a connection of its own.
class Plugin {
public:
    explicit Plugin(QDBusConnection connection = QDBusConnection::connectToBus(QDBusConnection::SessionBus,
                                                                               QStringLiteral("plugin")))
        : connection_(connection), center_(connection_)
    {
        center_.addObserver(&observer_, QStringLiteral("QV_DETERMINED_SPAM"),
                            [this](const QVDistributedNotification &n) { spam.push_back(n.stringValue("MessageID")); });
    }
    ~Plugin() { QDBusConnection::disconnectFromBus(connection_.name()); }

    void postMessage(const QString &id, const QString &address,
                     const QByteArray &body = "A message that the servers are asked about.\r\n")
    {
        const QByteArray message = "From: " + address.toUtf8() + "\r\nSubject: offer " + id.toUtf8()
            + "\r\nContent-Type: text/plain\r\n\r\n" + body;
        center_.postNotificationName(QStringLiteral("QV_ADD_MESSAGE"),
                                     {{QStringLiteral("Message"), message},
                                      {QStringLiteral("MessageID"), id},
                                      {QStringLiteral("Address"), address},
                                      {QStringLiteral("Domain"), address.section(u'@', 1)}});
    }
    QDBusConnection &connection() { return connection_; }

    std::vector<QString> spam;

private:
    QDBusConnection connection_;
    QVDistributedNotificationCenter center_;
    QObject observer_;
};

void writeBlockList(const QStringList &entries)
{
    QDir().mkpath(dataFolder());
    QFile file(dataFolder() + QStringLiteral("/BlackList.plist"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    QByteArray xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<array>\n";
    for (const QString &entry : entries)
        xml += "\t<string>" + entry.toUtf8() + "</string>\n";
    file.write(xml + "</array>\n</plist>\n");
}

// The stand-in classification server as its own program, answering every
// user on the given address.
class AnsweringServer {
public:
    explicit AnsweringServer(const QString &address)
    {
        process_.setProcessChannelMode(QProcess::MergedChannels);
        process_.start(QStringLiteral(QV_CLASSIFICATION_SERVER_PATH),
                       {QStringLiteral("--address"), address, QStringLiteral("--open")});
    }
    ~AnsweringServer()
    {
        process_.kill();
        process_.waitForFinished(10000);
    }
    bool waitUntilListening()
    {
        QString output;
        return waitFor(
                   [&] {
                       output += QString::fromUtf8(process_.readAll());
                       return output.contains(u"listening on") || process_.state() == QProcess::NotRunning;
                   },
                   30000)
            && process_.state() == QProcess::Running;
    }

private:
    QProcess process_;
};

// A backlog of 3,000 requests of 100 kB waits on the bus and in the queue
// when SIGTERM comes, with the servers answering, hearing and never
// answering, or not there at all. Nothing on the way out waits for the bus
// (its replies sit behind the whole backlog) or for the servers: the process
// ends promptly through the ordinary shut-down, the requests not handled are
// dropped and counted, and its names go with it.
TEST(ApplicationProgram, QuitsPromptlyBehindABacklogWhateverTheServers)
{
    enum class Servers { Answering, Silent, Absent };
    const struct {
        const char *name;
        Servers servers;
    } rows[] = {{"answering", Servers::Answering}, {"silent", Servers::Silent}, {"absent", Servers::Absent}};
    constexpr int kPosted = 3000;
    const QByteArray body = QByteArray(100 * 1024, 'x').replace(QByteArray(76, 'x'), QByteArray(75, 'x') + '\n');

    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        QDir(dataFolder() + QStringLiteral("/Logs")).removeRecursively();
        std::optional<AnsweringServer> answering;
        // Silent: datagrams heard and connections taken, nothing answered.
        QUdpSocket silent;
        QTcpServer silentStream;
        if (row.servers == Servers::Answering) {
            answering.emplace(ownLoopbackAddress());
            ASSERT_TRUE(answering->waitUntilListening());
        } else if (row.servers == Servers::Silent) {
            ASSERT_TRUE(bindOwnLoopbackAddress(silent, 2409)) << "no loopback address could be bound";
            ASSERT_TRUE(silentStream.listen(QHostAddress(ownLoopbackAddress()), 2409));
        }
        Application application;
        ASSERT_NO_FATAL_FAILURE(application.start());
        ASSERT_TRUE(waitFor([] { return QVRunningApplications::isRunning(kApplicationName); }, 30000));

        Plugin plugin;
        for (int i = 0; i < kPosted; ++i)
            plugin.postMessage(QStringLiteral("<%1@flood.example>").arg(i),
                               QStringLiteral("sender%1@flood.example").arg(i), body);
        // The bus answers this only once it took every request above, which
        // on a starved machine takes longer than a call's usual time-out.
        QDBusMessage hasOwner = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameHasOwner"));
        hasOwner << kApplicationName;
        const QDBusMessage owned = plugin.connection().call(hasOwner, QDBus::Block, 300000);
        ASSERT_EQ(owned.type(), QDBusMessage::ReplyMessage) << owned.errorMessage().toStdString();
        ASSERT_TRUE(owned.arguments().value(0).toBool());
        ASSERT_TRUE(waitFor([] { return coreLog().count(QStringLiteral("*** CHECKING FOR SPAM: ")) >= 2; }, 30000));

        QElapsedTimer quitting;
        quitting.start();
        application.signal(SIGTERM);
        // A bound far above a prompt quit and far below reading the backlog.
        ASSERT_TRUE(application.waitForExit(20000));
        std::cout << "[ measured ] " << row.name << " servers: quit took " << quitting.elapsed()
                  << " ms behind a backlog of " << kPosted << " requests of 100 kB\n";
        EXPECT_EQ(application.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(application.exitCode(), 0);
        EXPECT_FALSE(QVRunningApplications::isRunning(kApplicationName));

        const QString log = coreLog();
        EXPECT_TRUE(log.contains(QStringLiteral(": Quitting on signal 15.\n"))) << log.right(2000).toStdString();
        // Answering servers may let the whole backlog be judged first.
        if (row.servers != Servers::Answering) {
            const QRegularExpressionMatch dropped =
                QRegularExpression(QStringLiteral(": \\*\\*\\* DROPPED (\\d+) requests not handled before the quit\n"))
                    .match(log);
            ASSERT_TRUE(dropped.hasMatch()) << log.right(2000).toStdString();
            EXPECT_GT(dropped.captured(1).toInt(), 0);
        }
        if (row.servers != Servers::Silent) {
            // Only a server that never answers keeps lookups past the quit.
            EXPECT_TRUE(log.contains(QStringLiteral(": The engine was shut down.\n"))) << log.right(2000).toStdString();
        }
    }
}

// Seeing the application's name tells the plug-in that it listens: a request
// sent the moment the name appears is answered.
TEST(ApplicationProgram, ClaimsItsNameOnlyOnceItListens)
{
    writeBlockList({QStringLiteral("spam.example")});
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run);
        Plugin plugin;
        QDBusServiceWatcher watcher(kApplicationName, plugin.connection(), QDBusServiceWatcher::WatchForRegistration);
        bool posted = false;
        QObject::connect(&watcher, &QDBusServiceWatcher::serviceRegistered, [&] {
            plugin.postMessage(QStringLiteral("<first-%1@spam.example>").arg(run), QStringLiteral("a@spam.example"));
            posted = true;
        });
        Application application;
        ASSERT_NO_FATAL_FAILURE(application.start());
        ASSERT_TRUE(waitFor([&] { return posted; }, 30000));
        EXPECT_TRUE(waitFor([&] { return !plugin.spam.empty(); }, 10000)) << "the first request was lost";
        application.signal(SIGTERM);
        ASSERT_TRUE(application.waitForExit(20000));
    }
    QFile::remove(dataFolder() + QStringLiteral("/BlackList.plist"));
}

// The login item and the user may start the application at the same
// moment: one goes on, the other leaves before it logs or opens anything.
TEST(ApplicationProgram, OfTwoStartsAtOnceOneGoesOn)
{
    writeBlockList({QStringLiteral("spam.example")});
    QDir(dataFolder() + QStringLiteral("/Logs")).removeRecursively();
    Application first;
    Application second;
    ASSERT_NO_FATAL_FAILURE(first.start());
    ASSERT_NO_FATAL_FAILURE(second.start());
    ASSERT_TRUE(waitFor([&] { return first.isRunning() != second.isRunning(); }, 30000));
    Application &winner = first.isRunning() ? first : second;
    const Application &loser = first.isRunning() ? second : first;
    EXPECT_EQ(loser.exitCode(), 0);

    Plugin plugin;
    ASSERT_TRUE(waitFor([] { return QVRunningApplications::isRunning(kApplicationName); }, 30000));
    plugin.postMessage(QStringLiteral("<both@spam.example>"), QStringLiteral("b@spam.example"));
    EXPECT_TRUE(waitFor([&] { return !plugin.spam.empty(); }, 10000));
    EXPECT_TRUE(coreLog().contains(QStringLiteral("*** DETECTED SPAM: <both@spam.example>")))
        << "the log is the one that goes on";
    EXPECT_FALSE(QFile::exists(dataFolder() + QStringLiteral("/Logs/QVCore2.log"))) << "the log was rotated twice";
    winner.signal(SIGTERM);
    ASSERT_TRUE(winner.waitForExit(20000));
    QFile::remove(dataFolder() + QStringLiteral("/BlackList.plist"));
}

// The plug-in reaches the application only over the session bus: once the
// bus is gone the application leaves, through its ordinary shut-down.
TEST(ApplicationProgram, LeavesWhenItsSessionBusIsGone)
{
    QProcess bus;
    bus.start(QStringLiteral("dbus-daemon"),
              {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address=1")});
    ASSERT_TRUE(bus.waitForStarted(10000));
    ASSERT_TRUE(waitFor([&] { return bus.canReadLine(); }, 10000));
    const QString address = QString::fromUtf8(bus.readLine()).trimmed();
    ASSERT_FALSE(address.isEmpty());

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), address);
    Application application;
    ASSERT_NO_FATAL_FAILURE(application.start(environment));
    {
        QDBusConnection own = QDBusConnection::connectToBus(address, QStringLiteral("own"));
        ASSERT_TRUE(own.isConnected());
        EXPECT_TRUE(waitFor([&] { return own.interface()->isServiceRegistered(kApplicationName).value(); }, 30000));
    }
    QDBusConnection::disconnectFromBus(QStringLiteral("own"));

    bus.kill();
    bus.waitForFinished(10000);
    ASSERT_TRUE(application.waitForExit(20000));
    EXPECT_EQ(application.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(application.exitCode(), 0);
    const QString log = coreLog();
    EXPECT_TRUE(log.contains(QStringLiteral(": Quitting: the session bus is gone.\n"))) << log.toStdString();
    EXPECT_TRUE(log.contains(QStringLiteral(": The engine was shut down.\n"))) << log.toStdString();
}

}  // namespace

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    QCoreApplication application(argc, argv);
    return RUN_ALL_TESTS();
}
